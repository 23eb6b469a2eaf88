#include "viewer/connect_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "viewer/host_resolver.h"

namespace zarvion::viewer {

bool IsDottedIpv4(const QString& text) {
  static const QRegularExpression form(
      QStringLiteral("^([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})$"));
  const QRegularExpressionMatch m = form.match(text);
  if (!m.hasMatch()) return false;
  for (int i = 1; i <= 4; ++i) {
    if (m.captured(i).toInt() > 255) return false;
  }
  return true;
}

std::optional<uint16_t> ParsePort(const QString& text) {
  static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
  if (!digits.match(text).hasMatch()) return std::nullopt;
  const int port = text.toInt();
  if (port < 1 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

ConnectDialog::ConnectDialog(QWidget* parent, const Recorder& initial) : QDialog(parent) {
  setWindowTitle(tr("连接录像机"));
  address_ = new QLineEdit(QString::fromStdString(initial.host), this);
  address_->setPlaceholderText(tr("例如 192.168.1.10"));
  port_ = new QLineEdit(initial.port ? QString::number(initial.port) : QString(), this);
  port_->setMaxLength(5);
  login_ = new QLineEdit(QString::fromStdString(initial.login), this);
  rememberLogin_ = new QCheckBox(tr("记住登录参数"), this);
  rememberLogin_->setChecked(initial.rememberLogin);
  message_ = new QLabel(this);
  message_->setStyleSheet(QStringLiteral("color: #b00000"));
  message_->setWordWrap(true);

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(tr("连接"), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout;
  form->addRow(tr("地址："), address_);
  form->addRow(tr("端口："), port_);
  form->addRow(tr("登录参数："), login_);
  form->addRow(QString(), rememberLogin_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(message_);
  layout->addWidget(buttons);

  // Address, port, login, OK: the order an operator types them in.
  setTabOrder(address_, port_);
  setTabOrder(port_, login_);
  setTabOrder(login_, ok_);
  setTabOrder(ok_, rememberLogin_);
  setTabOrder(rememberLogin_, cancel_);

  resolver_ = new HostResolver(this);
  connect(resolver_, &HostResolver::Resolved, this,
          [this](const QString&, const QString& address, const QString& error) {
            Resolved(address, error);
          });
  connect(address_, &QLineEdit::textChanged, this, &ConnectDialog::Check);
  connect(port_, &QLineEdit::textChanged, this, &ConnectDialog::Check);
  Check();
  address_->selectAll();
  address_->setFocus(Qt::OtherFocusReason);
}

void ConnectDialog::Check() {
  resolver_->Cancel();  // a lookup of what was there before
  const QString address = address_->text().trimmed();
  const QString port = port_->text().trimmed();
  const bool addressOk = IsDottedIpv4(address) || IsHostName(address);
  const bool portOk = ParsePort(port).has_value();
  QString why;
  if (!address.isEmpty() && !addressOk) {
    why = tr("地址须为点分十进制的 IPv4 地址（例如 192.168.1.10）或主机名。");
  } else if (!port.isEmpty() && !portOk) {
    why = tr("端口须为 1 到 65535 之间的数字。");
  }
  message_->setText(why);
  ok_->setEnabled(addressOk && portOk);
}

void ConnectDialog::accept() {
  if (!ok_->isEnabled()) return;
  const QString address = address_->text().trimmed();
  if (IsDottedIpv4(address)) {
    resolved_ = address;
    QDialog::accept();
    return;
  }
  // A name: closed only once it resolves; OK waits for the answer.
  ok_->setEnabled(false);
  message_->setText(tr("正在解析 %1…").arg(address));
  resolver_->Resolve(address);
}

void ConnectDialog::Resolved(const QString& address, const QString& error) {
  ok_->setEnabled(true);
  if (!error.isEmpty()) {
    message_->setText(error);
    return;
  }
  message_->clear();
  resolved_ = address;
  QDialog::accept();
}

Recorder ConnectDialog::Entered() const {
  Recorder r;
  r.host = address_->text().trimmed().toStdString();
  r.port = ParsePort(port_->text().trimmed()).value_or(0);
  r.login = login_->text().toStdString();
  r.rememberLogin = rememberLogin_->isChecked();
  return r;
}

}  // namespace zarvion::viewer
