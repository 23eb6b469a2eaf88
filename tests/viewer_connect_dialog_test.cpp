// The connect dialog as a person fills it in.
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "ui_test_util.h"
#include "viewer/connect_dialog.h"

namespace zarvion::viewer {
namespace {

using zarvion::testing::WaitUntil;

TEST(ConnectDialog, ExplainsBadInputAndKeepsOkDisabled) {
  ConnectDialog dialog;
  dialog.show();
  EXPECT_FALSE(dialog.OkButton()->isEnabled());  // nothing entered yet
  EXPECT_TRUE(dialog.Message()->text().isEmpty());
  dialog.Port()->setText("9000");
  // Digits and dots are an address, never a name; a name is letters, digits
  // and hyphens between dots.
  for (const char* bad :
       {"1.2.3", "1.2.3.256", "1.2.3.4.5", "1..2.3", "cam 1", "-cam.example", "a..b", "cam_1"}) {
    dialog.Address()->setText(QString::fromUtf8(bad));
    EXPECT_FALSE(dialog.OkButton()->isEnabled()) << bad;
    EXPECT_FALSE(dialog.Message()->text().isEmpty()) << bad;
  }
  // Dotted, but no recorder's address: the box says what to write instead.
  dialog.Address()->setText("127.000.000.001");
  EXPECT_FALSE(dialog.OkButton()->isEnabled());
  EXPECT_TRUE(dialog.Message()->text().contains("127.0.0.1"))
      << dialog.Message()->text().toStdString();
  for (const char* bad : {"010.1.2.3", "1.2.3.00", "0.0.0.0", "0.1.2.3"}) {
    dialog.Address()->setText(QString::fromUtf8(bad));
    EXPECT_FALSE(dialog.OkButton()->isEnabled()) << bad;
    EXPECT_FALSE(dialog.Message()->text().isEmpty()) << bad;
  }
  EXPECT_TRUE(dialog.Message()->text().contains(QString::fromUtf8("不是录像机的地址")));
  for (const char* good : {"localhost", "a.b.c.d", "10.0.0.0", "192.168.1.10", "255.255.255.254"}) {
    dialog.Address()->setText(QString::fromUtf8(good));
    EXPECT_TRUE(dialog.OkButton()->isEnabled()) << good;
    EXPECT_TRUE(dialog.Message()->text().isEmpty()) << good;
  }
  for (const char* bad : {"0", "65536", "-1", "80a", "99999"}) {
    dialog.Port()->setText(bad);
    EXPECT_FALSE(dialog.OkButton()->isEnabled()) << bad;
    EXPECT_FALSE(dialog.Message()->text().isEmpty()) << bad;
  }
  for (const char* good : {"1", "65535"}) {
    dialog.Port()->setText(good);
    EXPECT_TRUE(dialog.OkButton()->isEnabled()) << good;
  }
}

TEST(ConnectDialog, TypedAsAPersonAddressTabPortTabLoginEnter) {
  ConnectDialog dialog;
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(WaitUntil([&] { return dialog.Address()->hasFocus(); }, 2000));
  QTest::keyClicks(QApplication::focusWidget(), "10.0.0.7");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QTest::keyClicks(QApplication::focusWidget(), "8123");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  QTest::keyClicks(QApplication::focusWidget(), "guard 7");
  QTest::keyClick(dialog.Login(), Qt::Key_Return);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const Recorder r = dialog.Entered();
  EXPECT_EQ(r.host, "10.0.0.7");
  EXPECT_EQ(r.port, 8123);
  EXPECT_EQ(r.login, "guard 7");
  EXPECT_FALSE(r.rememberLogin);
}

// Tab after the login reaches "记住登录参数", and Space there ticks it
// without connecting; the next Tab reaches the connect button.
TEST(ConnectDialog, TabAfterTheLoginReachesTheRememberBox) {
  ConnectDialog dialog;
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(WaitUntil([&] { return dialog.Address()->hasFocus(); }, 2000));
  const QWidget* order[] = {dialog.Port(), dialog.Login(), dialog.RememberLogin(),
                            dialog.OkButton()};
  QTest::keyClicks(QApplication::focusWidget(), "10.0.0.7");
  for (const QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next);
    if (next == dialog.Port()) QTest::keyClicks(QApplication::focusWidget(), "8123");
    if (next == dialog.RememberLogin()) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
      EXPECT_TRUE(dialog.RememberLogin()->isChecked());
      EXPECT_TRUE(dialog.isVisible());
      EXPECT_EQ(dialog.result(), QDialog::Rejected);  // not accepted yet
    }
  }
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(dialog.Entered().rememberLogin);
}

}  // namespace
}  // namespace zarvion::viewer
