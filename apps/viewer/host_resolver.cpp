#include "viewer/host_resolver.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>

namespace zarvion::viewer {

bool LooksLikeAddress(const QString& text) {
  static const QRegularExpression form(QStringLiteral("^[0-9.]+$"));
  return form.match(text).hasMatch();
}

bool IsHostName(const QString& text) {
  if (text.isEmpty() || LooksLikeAddress(text)) return false;
  QString name = text;
  if (name.endsWith('.')) name.chop(1);
  if (name.isEmpty() || name.size() > 253) return false;
  static const QRegularExpression label(
      QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?$"));
  for (const QString& part : name.split('.')) {
    if (!label.match(part).hasMatch()) return false;
  }
  return true;
}

HostResolver::HostResolver(QObject* parent) : QObject(parent) {}

HostResolver::~HostResolver() {
  Cancel();
}

void HostResolver::Resolve(const QString& name) {
  Cancel();
  name_ = name;
  // The lookup runs on Qt's resolver threads; the answer comes back to this
  // object's thread, and not at all once this object is gone.
  lookup_ = QHostInfo::lookupHost(name, this, &HostResolver::Finished);
}

void HostResolver::Cancel() {
  // Forgotten, not aborted: Qt's abortHostLookup leaks the call it was to
  // make, and Finished drops an answer whose id is no longer ours anyway.
  lookup_ = -1;
}

void HostResolver::Finished(const QHostInfo& info) {
  if (info.lookupId() != lookup_) return;  // an answer to a lookup given up
  lookup_ = -1;
  if (info.error() == QHostInfo::NoError) {
    for (const QHostAddress& a : info.addresses()) {
      if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        emit Resolved(name_, a.toString(), QString());
        return;
      }
    }
    emit Resolved(name_, QString(), tr("主机 %1 没有 IPv4 地址").arg(name_));
    return;
  }
  if (info.error() == QHostInfo::HostNotFound) {
    emit Resolved(name_, QString(), tr("找不到主机 %1").arg(name_));
  } else {
    emit Resolved(name_, QString(), tr("无法解析主机名 %1：%2").arg(name_, info.errorString()));
  }
}

}  // namespace zarvion::viewer
