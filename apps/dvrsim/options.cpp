// The executable's command line.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "dvrsim/dvrsim.h"
#include "dvrsim/faults.h"

namespace zarvion::dvrsim {

std::string UsageText() {
  std::string text =
      "usage: zarvion-dvrsim [--help | --version] [--bind ADDR] [--port N] [--channels 0..16]\n"
      "                      [--flags N] [--fps N] [--gop N] [--bitrate BITS] [--recordings N]\n"
      "                      [--steps N]"
      " [--login TEXT] [--fault NAME]... [--duration SECONDS]\n"
      "                      [--notice-after SECONDS TEXT]... [--log FILE] [--wander SECONDS]\n"
      "  --wander SECONDS   an object crosses one channel after another, one every SECONDS\n"
      "commands on standard input: view single K | view grid N | notice TEXT | pause [CH] |\n"
      "  resume [CH] | close\n"
      "  motion CH [SECONDS]   an object crosses channel CH's picture in SECONDS (default 3)\n"
      "  light CH [on|off]     the lights of channel CH switch on at once (again: off)\n"
      "  noise CH LEVEL        sensor noise of amplitude LEVEL (0 = none, up to 30) on CH\n"
      "faults (--fault NAME, each acting on every session):\n";
  for (const FaultEntry& f : FaultTable()) {
    std::string name = f.name;
    name.resize(std::max<size_t>(name.size(), 22), ' ');
    text += "  " + name + " " + f.what + "\n";
  }
  return text;
}

namespace {

bool ParseInteger(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool ParseSeconds(const std::string& text, double* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(v >= 0) || v > 1e7) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error) {
  Options o;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::vector<std::string> values;
    // "--name=value" is accepted as well as "--name value".
    if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      values.push_back(name.substr(eq + 1));
      name.resize(eq);
    }
    auto need = [&](size_t count) {
      while (values.size() < count) {
        if (i + 1 >= args.size()) {
          *error = "option " + name + " needs " + std::to_string(count) +
                   (count == 1 ? " value" : " values");
          return false;
        }
        values.push_back(args[++i]);
      }
      return true;
    };
    auto integer = [&](long long min, long long max, auto* field) {
      long long v = 0;
      if (!need(1)) return false;
      if (!ParseInteger(values[0], min, max, &v)) {
        *error = "option " + name + ": " + values[0] + " is not a whole number from " +
                 std::to_string(min) + " to " + std::to_string(max);
        return false;
      }
      *field = static_cast<std::remove_pointer_t<decltype(field)>>(v);
      return true;
    };
    bool ok = true;
    if (name == "--bind") {
      ok = need(1);
      if (ok) o.bind = values[0];
    } else if (name == "--port") {
      ok = integer(0, 65535, &o.port);
    } else if (name == "--channels") {
      ok = integer(0, 16, &o.channels);
    } else if (name == "--flags") {
      ok = integer(0, 65535, &o.flags);
    } else if (name == "--fps") {
      ok = integer(1, 100, &o.fps);
    } else if (name == "--gop") {
      ok = integer(1, 600, &o.gop);
    } else if (name == "--bitrate") {
      ok = integer(10000, 50000000, &o.bitrate);
    } else if (name == "--recordings") {
      ok = integer(0, 10000, &o.recordings);
    } else if (name == "--steps") {
      ok = integer(1, 0x7FFFFFFF, &o.steps);
    } else if (name == "--login") {
      ok = need(1);
      if (ok) o.login = values[0];
    } else if (name == "--fault") {
      ok = need(1);
      if (ok) {
        if (!FaultNamed(values[0])) {
          *error = "unknown fault " + values[0];
          ok = false;
        } else {
          o.faults.push_back(values[0]);
        }
      }
    } else if (name == "--duration") {
      ok = need(1);
      if (ok && !ParseSeconds(values[0], &o.durationSeconds)) {
        *error = "option --duration: " + values[0] + " is not a number of seconds";
        ok = false;
      }
    } else if (name == "--notice-after") {
      double seconds = 0;
      ok = need(2);
      if (ok && !ParseSeconds(values[0], &seconds)) {
        *error = "option --notice-after: " + values[0] + " is not a number of seconds";
        ok = false;
      }
      if (ok) o.noticesAfter.emplace_back(seconds, values[1]);
    } else if (name == "--wander") {
      ok = need(1);
      if (ok && !ParseSeconds(values[0], &o.wanderSeconds)) {
        *error = "option --wander: " + values[0] + " is not a number of seconds";
        ok = false;
      }
    } else if (name == "--log") {
      ok = need(1);
      if (ok) o.logFile = values[0];
    } else {
      *error = "unknown option " + name;
      ok = false;
    }
    if (!ok) return false;
  }
  *options = std::move(o);
  return true;
}

}  // namespace zarvion::dvrsim
