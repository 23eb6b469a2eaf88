// What the operator types for a recorder's address becomes the dotted IPv4
// text the control takes. Text made only of digits and dots is an address,
// never a name, and is used as it is; anything else must be a host name,
// which is looked up (IPv4 addresses only) without blocking the GUI thread.
#pragma once

#include <QObject>
#include <QString>

class QHostInfo;

namespace zarvion::viewer {

// Digits and dots only: meant as an address, whether a valid one or not.
bool LooksLikeAddress(const QString& text);
// Dot-separated labels of letters, digits and hyphens (no hyphen at either
// end of a label, at most 63 characters each, 253 in all), one trailing dot
// allowed; not LooksLikeAddress.
bool IsHostName(const QString& text);

class HostResolver : public QObject {
  Q_OBJECT

 public:
  explicit HostResolver(QObject* parent = nullptr);
  ~HostResolver() override;

  // Looks up `name` (an IsHostName text); Resolved follows, later, unless
  // Cancel or another Resolve comes first.
  void Resolve(const QString& name);
  void Cancel();
  bool Busy() const { return lookup_ >= 0; }

 signals:
  // Exactly one of `address` (dotted IPv4) and `error` (a sentence for the
  // operator) is non-empty.
  void Resolved(const QString& name, const QString& address, const QString& error);

 private:
  void Finished(const QHostInfo& info);

  int lookup_ = -1;
  QString name_;
};

}  // namespace zarvion::viewer
