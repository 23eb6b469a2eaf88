// zarvion-viewer: the operator's application. A main window with one tab
// per recorder, each embedding its own control, scripted by name as a host
// page would; a connect dialog, remembered recorders, automatic reconnect.
//
//   zarvion-viewer                       the tabs of the last run, or the connect dialog
//   zarvion-viewer [--host ADDR|NAME] [--port N] [LOGIN]   (a name is resolved)
//   zarvion-viewer --demo [LOGIN]
//   zarvion-viewer --help | --version
//   ... [--screenshot FILE [--after SECONDS]]
// where LOGIN is --login-file FILE (the file's first line; the file must be
// its owner's only), --login - (the first line of standard input) or
// --login TEXT (seen by every local user in the process list).
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include "dvrsim/dvrsim.h"
#include "viewer/language.h"
#include "viewer/login_source.h"
#include "viewer/main_window.h"
#include "viewer/recent_recorders.h"
#include "viewer/recorder_tab.h"
#include "window/control_window.h"
#include "zarvion_version.h"

namespace {

constexpr const char* kUsage =
    "usage: zarvion-viewer [--host ADDR|NAME] [--port N] [LOGIN] | --demo [LOGIN]"
    " [--screenshot FILE [--after SECONDS]] | --help | --version\n"
    "LOGIN: --login-file FILE   the first line of FILE, which only its owner may read\n"
    "       --login -           the first line of standard input\n"
    "       --login TEXT        TEXT itself (every local user can see it in the process list)";

struct Arguments {
  std::optional<std::string> host;
  std::optional<std::string> port;
  std::optional<std::string> login;
  std::optional<std::string> loginFile;
  bool demo = false;
  std::optional<std::string> screenshot;
  double afterSeconds = 3.0;
  bool afterGiven = false;
  bool help = false;
  bool version = false;
};

bool ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoul(text) <= 65535;
}

bool ParseSeconds(const std::string& text, double* out) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0) || v > 86400) return false;
  *out = v;
  return true;
}

// False with a one-line reason when the command line cannot be used.
bool Parse(const std::vector<std::string>& args, Arguments* out, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::optional<std::string>* into) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *into = args[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      out->help = true;
    } else if (a == "--version") {
      out->version = true;
    } else if (a == "--demo") {
      out->demo = true;
    } else if (a == "--host") {
      if (!value(&out->host)) return false;
    } else if (a == "--port") {
      if (!value(&out->port)) return false;
      if (!ParsePort(*out->port)) {
        *error = "--port needs a number from 0 to 65535, not '" + *out->port + "'";
        return false;
      }
    } else if (a == "--login") {
      if (out->login || out->loginFile) {
        *error = "one login only: --login or --login-file";
        return false;
      }
      if (!value(&out->login)) return false;
    } else if (a == "--login-file") {
      if (out->login || out->loginFile) {
        *error = "one login only: --login or --login-file";
        return false;
      }
      if (!value(&out->loginFile)) return false;
    } else if (a == "--screenshot") {
      if (!value(&out->screenshot)) return false;
      if (out->screenshot->empty()) {
        *error = "--screenshot needs a file name";
        return false;
      }
    } else if (a == "--after") {
      std::optional<std::string> text;
      if (!value(&text)) return false;
      if (!ParseSeconds(*text, &out->afterSeconds)) {
        *error = "--after needs a number of seconds, not '" + *text + "'";
        return false;
      }
      out->afterGiven = true;
    } else {
      *error = "unknown argument '" + a + "'";
      return false;
    }
  }
  if (out->demo && (out->host || out->port)) {
    *error = "--demo runs its own recorder and takes no --host or --port";
    return false;
  }
  if (out->afterGiven && !out->screenshot) {
    *error = "--after goes with --screenshot";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!Parse(std::vector<std::string>(argv + 1, argv + argc), &args, &error)) {
    std::fprintf(stderr, "zarvion-viewer: %s\n", error.c_str());
    return 2;
  }
  if (args.help) {
    std::printf("%s\n", kUsage);
    return 0;
  }
  if (args.version) {
    std::printf("zarvion-viewer %s\n", ZARVION_VERSION);
    return 0;
  }
  // The login is read before Qt starts, and the process holds it from here
  // on: no core file, no attaching.
  if (args.login || args.loginFile) zarvion::viewer::KeepLoginPrivate();
  if (args.loginFile) {
    std::string login;
    if (!zarvion::viewer::ReadLoginFile(*args.loginFile, &login, &error)) {
      std::fprintf(stderr, "zarvion-viewer: %s\n", error.c_str());
      return 2;
    }
    args.login = std::move(login);
  } else if (args.login && *args.login == "-") {
    std::optional<std::string> login = zarvion::viewer::ReadLoginLine(std::cin);
    if (!login) {
      std::fprintf(stderr, "zarvion-viewer: the login on standard input is longer than %zu bytes\n",
                   zarvion::viewer::kMaxLoginBytes);
      return 2;
    }
    args.login = std::move(login);
  }

  QApplication app(argc, argv);
  // The language stored by the menu, before any window is built.
  zarvion::viewer::InstallLanguage(app, zarvion::viewer::LoadLanguage());

  std::unique_ptr<zarvion::dvrsim::Server> recorder;
  if (args.demo) {
    zarvion::dvrsim::Options options;
    options.port = 0;
    // Now and then an object crosses a camera, so the demo shows motion.
    options.wanderSeconds = 20;
    recorder = std::make_unique<zarvion::dvrsim::Server>(options);
    if (!recorder->Start()) {
      std::fprintf(stderr, "zarvion-viewer: the simulated recorder did not start: %s\n",
                   recorder->Error().c_str());
      return 1;
    }
    args.host = "127.0.0.1";
    args.port = std::to_string(recorder->Port());
    if (!args.login) args.login = "demo";
  }

  using zarvion::viewer::MainWindow;
  zarvion::viewer::MainWindowOptions options;
  // The demo's recorder lives only as long as the program: nothing to remember.
  options.remember = !args.demo;
  MainWindow window(options);
  bool askForRecorder = false;
  if (args.host || args.port || args.login) {
    zarvion::viewer::Recorder r;
    r.host = args.host.value_or("");
    r.port = static_cast<uint16_t>(std::stoul(args.port.value_or("0")));
    r.login = args.login.value_or("");
    window.OpenRecorder(r);
  } else if (!window.RestoreTabs()) {
    window.NewTab();
    askForRecorder = zarvion::viewer::LoadRecent().empty();
  }
  window.show();
  if (askForRecorder) window.AskForRecorderWhenShown();

  int screenshotResult = 0;
  if (args.screenshot) {
    QTimer::singleShot(static_cast<int>(args.afterSeconds * 1000), &window, [&] {
      // What the operator sees of the current tab: the control's window
      // with the banner over it, if one shows.
      QPixmap picture;
      if (zarvion::viewer::RecorderTab* tab = window.CurrentTab()) {
        QWidget* control = tab->Window();
        if (QGuiApplication::platformName() == QLatin1String("xcb")) {
          // Read back from the X server, which stretches a single view
          // itself: what is on the screen, the banner included.
          const QPoint at = control->mapTo(&window, QPoint(0, 0));
          picture = window.screen()->grabWindow(window.winId(), at.x(), at.y(), control->width(),
                                                control->height());
        } else {
          picture = control->grab();
          if (tab->Banner()->isVisible()) {
            QPainter painter(&picture);
            painter.drawPixmap(tab->Banner()->pos(), tab->Banner()->grab());
          }
        }
      } else {
        picture = window.grab();
      }
      if (!picture.save(QString::fromStdString(*args.screenshot))) {
        std::fprintf(stderr, "zarvion-viewer: could not write %s\n", args.screenshot->c_str());
        screenshotResult = 1;
      }
      app.quit();
    });
  }
  const int result = app.exec();
  return result != 0 ? result : screenshotResult;
}
