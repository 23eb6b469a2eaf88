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

QString AddressProblem(const QString& text) {
  const QString wrongForm =
      ConnectDialog::tr("地址须为点分十进制的 IPv4 地址（例如 192.168.1.10）或主机名。");
  if (!LooksLikeAddress(text)) return IsHostName(text) ? QString() : wrongForm;
  static const QRegularExpression form(
      QStringLiteral("^([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})$"));
  const QRegularExpressionMatch m = form.match(text);
  bool inRange = m.hasMatch();
  for (int i = 1; inRange && i <= 4; ++i) inRange = m.captured(i).toInt() <= 255;
  if (!inRange) return wrongForm;
  for (int i = 1; i <= 4; ++i) {
    if (m.captured(i).size() > 1 && m.captured(i).startsWith('0')) {
      return ConnectDialog::tr("地址的各段不能以 0 开头：请写作 %1。")
          .arg(QStringLiteral("%1.%2.%3.%4")
                   .arg(m.captured(1).toInt())
                   .arg(m.captured(2).toInt())
                   .arg(m.captured(3).toInt())
                   .arg(m.captured(4).toInt()));
    }
  }
  if (m.captured(1).toInt() == 0) {
    return ConnectDialog::tr("%1 不是录像机的地址，无法连接：请填写录像机的 IP 地址。").arg(text);
  }
  return QString();
}

bool IsDottedIpv4(const QString& text) {
  return LooksLikeAddress(text) && AddressProblem(text).isEmpty();
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
  message_->setTextFormat(Qt::PlainText);
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

  // Top to bottom, as the fields stand: address, port, login, whether to
  // keep it, then the buttons. Tab and Space after the login tick the box;
  // Enter from any field connects.
  setTabOrder(address_, port_);
  setTabOrder(port_, login_);
  setTabOrder(login_, rememberLogin_);
  setTabOrder(rememberLogin_, ok_);
  setTabOrder(ok_, cancel_);

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
  const QString addressProblem = AddressProblem(address);
  const bool addressOk = addressProblem.isEmpty();
  const bool portOk = ParsePort(port).has_value();
  QString why;
  if (!address.isEmpty() && !addressOk) {
    why = addressProblem;
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
