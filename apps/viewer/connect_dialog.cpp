#include "viewer/connect_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

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
  setWindowTitle(QString::fromUtf8("连接录像机"));
  address_ = new QLineEdit(QString::fromStdString(initial.host), this);
  address_->setPlaceholderText(QString::fromUtf8("例如 192.168.1.10"));
  port_ = new QLineEdit(initial.port ? QString::number(initial.port) : QString(), this);
  port_->setMaxLength(5);
  login_ = new QLineEdit(QString::fromStdString(initial.login), this);
  rememberLogin_ = new QCheckBox(QString::fromUtf8("记住登录参数"), this);
  rememberLogin_->setChecked(initial.rememberLogin);
  message_ = new QLabel(this);
  message_->setTextFormat(Qt::PlainText);
  message_->setStyleSheet(QStringLiteral("color: #b00000"));
  message_->setWordWrap(true);

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(QString::fromUtf8("连接"), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(QString::fromUtf8("取消"), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout;
  form->addRow(QString::fromUtf8("地址："), address_);
  form->addRow(QString::fromUtf8("端口："), port_);
  form->addRow(QString::fromUtf8("登录参数："), login_);
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

  connect(address_, &QLineEdit::textChanged, this, &ConnectDialog::Check);
  connect(port_, &QLineEdit::textChanged, this, &ConnectDialog::Check);
  Check();
  address_->selectAll();
  address_->setFocus(Qt::OtherFocusReason);
}

void ConnectDialog::Check() {
  const QString address = address_->text().trimmed();
  const QString port = port_->text().trimmed();
  const bool addressOk = IsDottedIpv4(address);
  const bool portOk = ParsePort(port).has_value();
  QString why;
  if (!address.isEmpty() && !addressOk) {
    why = QString::fromUtf8("地址须为点分十进制的 IPv4 地址（例如 192.168.1.10），不能是主机名。");
  } else if (!port.isEmpty() && !portOk) {
    why = QString::fromUtf8("端口须为 1 到 65535 之间的数字。");
  }
  message_->setText(why);
  ok_->setEnabled(addressOk && portOk);
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
