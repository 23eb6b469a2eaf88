// "连接录像机": address, port and login parameter of a recorder. The address
// is dotted IPv4 that a recorder can have, written plainly, or a host name;
// the port 1-65535; while either is wrong the dialog says why and OK stays
// disabled. A host name is looked up when OK is pressed: the dialog closes
// once it resolves, and says why when it does not.
#pragma once

#include <cstdint>
#include <optional>

#include <QDialog>

#include "viewer/recent_recorders.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace zarvion::viewer {

class HostResolver;

// Why `text` is neither the address of a recorder nor a host name, or empty
// when it is one of them. An address is four decimal numbers 0-255 separated
// by dots, each without leading zeros (read as octal by some, refused by
// others), and not in 0.0.0.0/8, which no recorder can have (0.0.0.0 stands
// for "this machine, any address"); text of digits and dots is never a name.
QString AddressProblem(const QString& text);
// A recorder's address as AddressProblem takes it.
bool IsDottedIpv4(const QString& text);
// The port of a text of digits from 1 to 65535.
std::optional<uint16_t> ParsePort(const QString& text);

class ConnectDialog : public QDialog {
  Q_OBJECT

 public:
  // Starts with `initial` filled in (the most recent recorder, say).
  explicit ConnectDialog(QWidget* parent = nullptr, const Recorder& initial = {});

  // What was entered; meaningful once the dialog is accepted.
  Recorder Entered() const;
  // The dotted IPv4 address the entered host name resolved to, or the
  // address entered.
  QString ResolvedAddress() const { return resolved_; }

  void accept() override;

  QLineEdit* Address() const { return address_; }
  QLineEdit* Port() const { return port_; }
  QLineEdit* Login() const { return login_; }
  QCheckBox* RememberLogin() const { return rememberLogin_; }
  QPushButton* OkButton() const { return ok_; }
  QLabel* Message() const { return message_; }

 private:
  void Check();
  void Resolved(const QString& address, const QString& error);

  QLineEdit* address_;
  QLineEdit* port_;
  QLineEdit* login_;
  QCheckBox* rememberLogin_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QLabel* message_;
  HostResolver* resolver_;
  QString resolved_;
};

}  // namespace zarvion::viewer
