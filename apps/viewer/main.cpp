// zarvion-viewer: a main window that embeds one control and scripts it from
// the command line, as a host page would.
//
//   zarvion-viewer [--host ADDR] [--port N] [--login TEXT]
//   zarvion-viewer --demo [--login TEXT]
//   ... [--screenshot FILE [--after SECONDS]]
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPixmap>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include "dvrsim/dvrsim.h"
#include "shell/control_host.h"
#include "shell/module.h"
#include "shell/zarvinet.h"

namespace {

constexpr const char* kUsage =
    "usage: zarvion-viewer [--host ADDR] [--port N] [--login TEXT] | --demo [--login TEXT]"
    " [--screenshot FILE [--after SECONDS]]";

struct Arguments {
  std::optional<std::string> host;
  std::optional<std::string> port;
  std::optional<std::string> login;
  bool demo = false;
  std::optional<std::string> screenshot;
  double afterSeconds = 3.0;
  bool afterGiven = false;
  bool help = false;
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
      if (!value(&out->login)) return false;
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

std::u16string ToUtf16(const QString& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()),
                        static_cast<size_t>(s.size()));
}

// Calls a member by name through the dispatch interface, as a script does.
void Script(zarvion::Zarvinet& control, const char16_t* name, uint16_t flags,
            const std::vector<zarvion::Variant>& args) {
  const std::u16string_view names[] = {name};
  zarvion::DISPID id = zarvion::DISPID_UNKNOWN;
  if (!zarvion::Succeeded(control.GetIDsOfNames(names, std::span(&id, 1)))) return;
  control.Invoke(id, flags, args);
}

zarvion::Variant Text(const std::string& utf8) {
  return zarvion::Variant::Bstr(ToUtf16(QString::fromStdString(utf8)));
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

  QApplication app(argc, argv);
  // Scripting by name needs the control library registered for this user.
  zarvion::EnsureControlRegistered();

  std::unique_ptr<zarvion::dvrsim::Server> recorder;
  if (args.demo) {
    zarvion::dvrsim::Options options;
    options.port = 0;
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

  zarvion::Zarvinet control;
  QMainWindow main;
  main.setCentralWidget(zarvion::CreateControlWindow(control, &main).release());
  auto* status = new QLabel(&main);
  main.statusBar()->addWidget(status, 1);
  // Room for 16 panes; never more than the screen, whose size is also that
  // of the control's back surface.
  QSize size(960, 760 + main.statusBar()->sizeHint().height());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    size = size.boundedTo(screen->availableGeometry().size());
  }
  main.resize(size);

  const QString server =
      args.host && args.port ? QString::fromStdString(*args.host + ":" + *args.port) : QString();
  auto showState = [&, known = std::optional<bool>()]() mutable {
    const bool connected = control.Object().bConnected.load() != 0;
    if (known == connected) return;
    known = connected;
    const QString state =
        connected ? QString::fromUtf8("已连接 %1").arg(server) : QString::fromUtf8("未连接");
    main.setWindowTitle(QString::fromUtf8("Zarvion 查看器 — %1").arg(state));
    status->setText(state);
  };
  showState();
  QTimer stateTimer;
  QObject::connect(&stateTimer, &QTimer::timeout, &main, showState);
  stateTimer.start(100);
  main.show();

  if (args.host || args.port || args.login) {
    using zarvion::DISPATCH_METHOD;
    using zarvion::DISPATCH_PROPERTYPUT;
    const std::string host = args.host.value_or("");
    const std::string port = args.port.value_or("");
    if (args.host) Script(control, u"strHostName", DISPATCH_PROPERTYPUT, {Text(host)});
    if (args.port) Script(control, u"strHostPort", DISPATCH_PROPERTYPUT, {Text(port)});
    Script(control, u"ConnectServer", DISPATCH_METHOD,
           {Text(host), Text(port), Text(args.login.value_or(""))});
  }

  int screenshotResult = 0;
  if (args.screenshot) {
    QTimer::singleShot(static_cast<int>(args.afterSeconds * 1000), &main, [&] {
      if (!main.centralWidget()->grab().save(QString::fromStdString(*args.screenshot))) {
        std::fprintf(stderr, "zarvion-viewer: could not write %s\n", args.screenshot->c_str());
        screenshotResult = 1;
      }
      app.quit();
    });
  }
  const int result = app.exec();
  return result != 0 ? result : screenshotResult;
}
