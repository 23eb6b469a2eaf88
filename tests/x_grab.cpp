// Run on an X server: `x_grab WINDOW FILE SECONDS` reads the window WINDOW
// back from the server until one picture fills the width of its video area
// (the same colour near its left and right edges, not the blue of a pane
// without signal), then saves it as FILE and exits 0. When that does not
// happen within SECONDS it saves the last reading and exits 1.
#include <chrono>
#include <cstdlib>
#include <string>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

namespace {

int Distance(QRgb a, QRgb b) {
  return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
         std::abs(qBlue(a) - qBlue(b));
}

// The test's own reading of a single view (tests/ui_xvfb_test.cpp).
bool OnePictureAcross(const QImage& image) {
  if (image.width() < 100 || image.height() < 100) return false;
  const QRgb left = image.pixel(30, image.height() * 9 / 20);
  const QRgb right = image.pixel(image.width() - 30, image.height() * 9 / 20);
  return Distance(left, right) < 40 && Distance(left, qRgb(0, 0, 200)) > 40;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  QGuiApplication app(argc, argv);
  const WId window = std::strtoul(argv[1], nullptr, 0);
  const QString file = QString::fromLocal8Bit(argv[2]);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
  QImage image;
  for (;;) {
    image = QGuiApplication::primaryScreen()->grabWindow(window).toImage();
    if (OnePictureAcross(image)) break;
    if (std::chrono::steady_clock::now() > end) {
      image.save(file);
      return 1;
    }
    QThread::msleep(200);
  }
  return image.save(file) ? 0 : 1;
}
