// ZProcess: the one process object (identity, executable, arguments; it
// stands for the main thread), the program entry and the assertion handler.
#include <atomic>

#include "host_error.h"
#include "host_service.h"
#include "zunder/config.h"
#include "zunder/process.h"

namespace {

std::atomic<ZProcess*> currentProcess{nullptr};

const char* const kCodeStatusNames[] = {"alpha", "beta", "pl"};

// "/usr/sbin/moatkeep.bin" -> "moatkeep"
ZString TitleOf(const ZString& path) {
  const ZIndex slash = path.FindLast('/');
  ZString name = slash == ZNotFound ? path : path.Mid(slash + 1);
  const ZIndex dot = name.FindLast('.');
  return dot == ZNotFound || dot == 0 ? name : name.Left(dot);
}

}  // namespace

ZProcess::ZProcess(const char* maker, const char* product, uint16_t versionMajor, uint16_t versionMinor,
                   int32_t releaseStatus, uint16_t build)
    : ZThread(CurrentThread),
      manufacturer(maker != nullptr ? maker : ""),
      productName(product != nullptr ? product : ""),
      majorVersion(versionMajor),
      minorVersion(versionMinor),
      codeStatus(releaseStatus),
      buildNumber(build) {
  currentProcess.store(this);
  ZSetAssertHandler(&ZProcessAssertHandler);
}

ZProcess::~ZProcess() {
  // The console pause at exit has no counterpart on this host.
  ZProcess* self = this;
  if (currentProcess.compare_exchange_strong(self, nullptr)) ZSetAssertHandler(nullptr);
}

ZProcess* ZProcess::Current() { return currentProcess.load(); }

void ZProcess::PreInitialise(const char* programPath) {
  terminationValue = 0;
  arguments.SetArgs(0, nullptr);
  ZString path = zhost::ExecutablePath();
  if (path.IsEmpty() && programPath != nullptr) path = programPath;
  executableFile = ZFilePath(path);
  if (productName.IsEmpty()) productName = TitleOf(executableFile);
  AttachCurrentThread();

  // The configuration store finds its INI file and registry location from
  // the program's identity; a service process writes to the machine hive.
  ZConfigIdentity identity;
  identity.manufacturer = manufacturer;
  identity.product = productName;
  identity.versionText = GetVersion(false);
  identity.executablePath = executableFile;
  identity.isService = IsDescendant("ZServiceProcess");
  ZConfig::SetIdentity(identity);
}

int ZProcess::InternalMain(int argc, char** argv, char** /*envp*/) {
  PreInitialise(argc > 0 ? argv[0] : nullptr);
  arguments.SetArgs(argc, argv);
  Main();
  return terminationValue;
}

void ZProcess::Terminate() {
  // Other threads may still run: leave without static destructors.
  zhost::ExitProcessNow(terminationValue);
}

ZString ZProcess::GetVersion(bool full) const {
  if (full && buildNumber != 0) {
    const char* status = codeStatus >= 0 && codeStatus <= 2 ? kCodeStatusNames[codeStatus] : "";
    return FormatText("%u.%u%s%u", unsigned{majorVersion}, unsigned{minorVersion}, status, unsigned{buildNumber});
  }
  return FormatText("%u.%u", unsigned{majorVersion}, unsigned{minorVersion});
}

ZString ZProcess::GetOSClass() const { return ZString("Unix"); }

ZString ZProcess::GetOSName() const { return zhost::OSName(); }

ZString ZProcess::GetOSVersion() const {
  unsigned major = 0;
  unsigned minor = 0;
  zhost::OSVersion(&major, &minor);
  return FormatText("v%u.%u", major, minor);
}

ZString ZProcess::GetUserName() const { return zhost::UserName(); }

int ZProcessMain(int argc, char** argv, char** envp) {
  ZProcess* process = ZProcess::Current();
  if (process == nullptr) {
    zhost::ConsoleWrite("No process object.\n");
    return 1;
  }
  return process->InternalMain(argc, argv, envp);
}

// ---------------------------------------------------------------- assertions

void ZProcessAssertHandler(const char* source, unsigned line, const char* message) {
  const int error = zhost::LastError();
  // Never destroyed: an assertion may come during static destruction.
  static ZSemaphore* serialiser = new ZSemaphore(1, 1);
  serialiser->Wait();
  if (message == nullptr) message = "";

  ZProcess* process = ZProcess::Current();
  if (process != nullptr && process->IsDescendant(ZServiceProcess::ClassName())) {
    auto* service = static_cast<ZServiceProcess*>(process);
    if (!service->IsDebugMode()) {
      zhost::SetLastError(error);
      service->SystemLog(ZServiceProcess::FatalLevel, "Assertion fail in file %s, line %u %s - code = %lu", source,
                         line, message, static_cast<unsigned long>(error));
      zhost::ExitProcessNow(100);
    }
  }

  for (;;) {
    zhost::ConsoleWrite(FormatText("Assertion fail: File %s, Line %u\n", source, line));
    if (*message != '\0') zhost::ConsoleWrite(FormatText("%s - Error code=%u\n", message, unsigned(error)));
    zhost::ConsoleWrite("<A>bort, <B>reak, <I>gnore? ");
    const int key = zhost::ConsoleReadKey();
    if (key == -1 || key == 'A' || key == 'a') {
      zhost::ConsoleWrite("Aborted\n");
      zhost::ExitProcessNow(100);
    }
    if (key == 'B' || key == 'b') {
      zhost::ConsoleWrite("Break\n");
      serialiser->Signal();
      // Without a debugger attached there is nothing to break into: carry on.
      zhost::DebugBreak();
      zhost::SetLastError(error);
      return;
    }
    if (key == 'I' || key == 'i') {
      zhost::ConsoleWrite("Ignored\n");
      serialiser->Signal();
      zhost::SetLastError(error);
      return;
    }
  }
}
