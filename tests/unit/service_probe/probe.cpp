// A service program for the process tests. Its behaviour is chosen by the
// environment: PROBE_MAIN picks the body of Main, PROBE_START=fail makes
// OnStart fail, PROBE_PAUSE=refuse makes OnPause refuse; every hook appends a
// line to the file PROBE_LOG, and the waiting Main appends a line to
// PROBE_HEARTBEAT on each pass.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zunder/process.h"

namespace {

std::string Setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void AppendLine(const char* variable, const std::string& line) {
  const std::string path = Setting(variable);
  if (path.empty()) return;
  const int descriptor = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (descriptor < 0) return;
  const std::string text = line + "\n";
  const ssize_t written = write(descriptor, text.data(), text.size());
  (void)written;
  close(descriptor);
}

void Record(const std::string& event) { AppendLine("PROBE_LOG", event); }

class Probe : public ZServiceProcess {
 public:
  Probe()
      : ZServiceProcess("Zunder Tests", std::getenv("PROBE_EMPTY_NAME") != nullptr ? "" : "Probe", 1, 0, ReleaseCode,
                        3) {}

  bool OnStart() override {
    Record("OnStart");
    return Setting("PROBE_START") != "fail";
  }

  void OnStop() override {
    Record("OnStop");
    stopRequested = true;
  }

  bool OnPause() override {
    Record("OnPause");
    if (Setting("PROBE_PAUSE") == "refuse") return false;
    return ZServiceProcess::OnPause();
  }

  void OnContinue() override {
    Record("OnContinue");
    ZServiceProcess::OnContinue();
  }

  void Main() override {
    Record("Main");
    const std::string body = Setting("PROBE_MAIN");
    if (body == "return") return;
    if (body == "log") return LogSamples();
    if (body == "assert") {
      errno = 0;
      Z_ASSERT_MESSAGE("probe check");
      Record("after-assert");
      return;
    }
    if (body == "identity") return PrintIdentity();
    if (body == "hang") {
      // Ignores OnStop: the service entry must end the process by itself.
      for (int pass = 0; pass < 400; ++pass) usleep(50 * 1000);
      return;
    }
    // Waits for OnStop (bounded), beating on each pass; SleepFor is where a
    // suspended service thread holds.
    for (int pass = 0; pass < 1500 && !stopRequested; ++pass) {
      AppendLine("PROBE_HEARTBEAT", "beat");
      ZThread::SleepFor(ZTimeInterval(20));
    }
    Record("Main ended");
  }

 private:
  void LogSamples() {
    errno = 13;
    SystemLog(ErrorLevel, "failure %d", 7);
    errno = 13;
    SystemLog(InformationLevel, "information");
    errno = 0;
    SystemLog(WarningLevel, "no error");
    errno = 5;
    SystemLog(WarningLevel, "%s", "");
    errno = 0;
    SystemLog(FatalLevel, "%s", std::string(5000, 'x').c_str());
    SetLogLevel(ErrorLevel);
    SystemLog(WarningLevel, "filtered");
    SystemLog(ErrorLevel, "last");
  }

  void PrintIdentity() {
    std::string text;
    text += "exe=" + std::string(GetExecutableFile().Text()) + "\n";
    text += "os=" + std::string(GetOSClass().Text()) + "/" + GetOSName().Text() + " " + GetOSVersion().Text() + "\n";
    text += "user=" + std::string(GetUserName().Text()) + "\n";
    text += "manufacturer=" + std::string(GetManufacturer().Text()) + "\n";
    text += "version=" + std::string(GetVersion(false).Text()) + "\n";
    text += std::string("current=") + (ZProcess::Current() == this ? "1" : "0") + "\n";
    text += std::string("thread=") + (ZThread::Current() == this ? "1" : "0") + "\n";
    text += "arguments=" + std::to_string(GetArguments().GetCount()) + "\n";
    Record(text);
  }

  std::atomic<bool> stopRequested{false};
};

Probe probe;

}  // namespace

int main(int argc, char** argv, char** envp) { return ZProcessMain(argc, argv, envp); }
