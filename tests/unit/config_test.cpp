// The settings store: INI profiles, the registry hives, the environment,
// and concurrent and interrupted writers in other processes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/assert_capture.h"
#include "support/descriptors.h"
#include "support/environment.h"
#include "support/scratch_directory.h"
#include "zunder/config.h"

namespace {

// A scratch directory holding the INI files and (through
// ZUNDER_REGISTRY_DIR) both registry hives; the program identity points at
// an executable in it, so no INI file of the real test binary is consulted.
class ConfigTest : public ::testing::Test, protected ScratchDirectory {
 protected:
  ConfigTest() : ScratchDirectory("zconfig") {}
  void SetUp() override {
    descriptorsBefore = OpenDescriptors();
    ASSERT_TRUE(IsMade());
    dir = Path();
    registryDirectory.emplace("ZUNDER_REGISTRY_DIR", dir);
    savedIdentity = ZConfig::GetIdentity();
    SetIdentity("Acme", "Gate", "1.0", false);
  }
  void TearDown() override {
    ZConfig::SetIdentity(savedIdentity);
    registryDirectory.reset();
    ASSERT_TRUE(Remove());
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
  }
  void SetIdentity(const char* manufacturer, const char* product, const char* version, bool service) {
    ZConfigIdentity identity;
    identity.manufacturer = manufacturer;
    identity.product = product;
    identity.versionText = version;
    identity.executablePath = (dir + "/gate").c_str();
    identity.isService = service;
    ZConfig::SetIdentity(identity);
  }
  ZConfig Ini(const char* name = "test.ini") const { return ZConfig("Options", ZConfig::File, Path(name).c_str()); }
  static std::string Join(const ZStringList& list) {
    std::string text;
    for (ZIndex i = 0; i < list.GetSize(); ++i) text += std::string(list[i]->Text()) + ";";
    return text;
  }

  int descriptorsBefore = 0;
  std::string dir;
  std::optional<ScopedVariable> registryDirectory;
  ZConfigIdentity savedIdentity;
};

// ---------------------------------------------------------------- INI files

TEST_F(ConfigTest, IniProfileRulesKeepEverythingElse) {
  Put("test.ini",
      "; settings\n"
      "[Globals]\n"
      "Port=1082\n"
      "port=9999\n"
      "Quoted = \"  spaced  \"\n"
      "\n"
      "[globals]\n"
      "Port=7\n"
      "junk line\n"
      "[Relays]\n"
      "; relays below\n"
      "telnet=23\n"
      "\n");
  ZConfig config = Ini();
  EXPECT_EQ(config.GetString("GLOBALS", "PORT", "none"), "1082");  // first match, any case
  EXPECT_EQ(config.GetString("Globals", "Quoted", ""), "  spaced  ");
  EXPECT_EQ(config.GetString("Globals", "Missing", "dflt"), "dflt");
  EXPECT_EQ(config.GetString("Nowhere", "Port", "dflt"), "dflt");
  EXPECT_EQ(Join(config.GetSections()), "Globals;Relays;");
  EXPECT_EQ(Join(config.GetKeys("globals")), "Port;Quoted;");

  config.SetString("globals", "port", "1083");  // replaced where it stands
  config.SetString("Relays", "ftp", "21");      // after the section's last line
  config.SetString("New", "Key", "value");      // new section at the end
  EXPECT_EQ(Get("test.ini"),
            "; settings\n"
            "[Globals]\n"
            "port=1083\n"
            "port=9999\n"
            "Quoted = \"  spaced  \"\n"
            "\n"
            "[globals]\n"
            "Port=7\n"
            "junk line\n"
            "[Relays]\n"
            "; relays below\n"
            "telnet=23\n"
            "ftp=21\n"
            "\n"
            "[New]\n"
            "Key=value\n");

  config.DeleteKey("RELAYS", "Telnet");
  config.DeleteKey("Relays", "absent");  // nothing to do, nothing reported
  config.DeleteSection("globals");       // every section of that name
  EXPECT_EQ(Get("test.ini"), "; settings\n[Relays]\n; relays below\nftp=21\n\n[New]\nKey=value\n");
  EXPECT_EQ(Join(config.GetSections()), "Relays;New;");
}

TEST_F(ConfigTest, IniTypedValues) {
  Put("test.ini", "[Options]\nyes1=yes\nyes2=True\nyes3=1\nyes4=T\nno1=no\nno2=False\nno3=0\nno4=\nnum=-42x\n");
  ZConfig config = Ini();
  for (const char* key : {"yes1", "yes2", "yes3", "yes4"}) {
    SCOPED_TRACE(key);
    EXPECT_TRUE(config.GetBoolean(key, false));
  }
  for (const char* key : {"no1", "no2", "no3", "no4"}) {
    SCOPED_TRACE(key);
    EXPECT_FALSE(config.GetBoolean(key, true));
  }
  EXPECT_TRUE(config.GetBoolean("absent", true));
  EXPECT_FALSE(config.GetBoolean("absent", false));
  EXPECT_EQ(config.GetInteger("num", 5), -42);
  EXPECT_EQ(config.GetInteger("absent", 5), 5);

  config.SetBoolean("flag", true);
  config.SetBoolean("other", false);
  config.SetInteger("count", -17);
  EXPECT_NE(Get("test.ini").find("flag=True\nother=False\ncount=-17\n"), std::string::npos);

  EXPECT_EQ(config.GetTime("absent"), ZTime(0, 0, 0, 1, 1, 1996));
  ZTime fallback(0, 30, 12, 5, 6, 2001);
  EXPECT_EQ(config.GetTime("Options", "absent", fallback), fallback);
  ZTime when(15, 45, 10, 9, 10, 1996);
  config.SetTime("when", when);
  EXPECT_EQ(config.GetString("when", ""), when.AsString(ZTime::RFC1123));
  EXPECT_EQ(config.GetTime("when"), when);
}

TEST_F(ConfigTest, IniValuesAreCutAt999Characters) {
  ZConfig config = Ini();
  std::string longValue(2000, 'v');
  config.SetString("Options", "long", longValue.c_str());
  EXPECT_EQ(config.GetString("long", "").GetLength(), 999);
  EXPECT_NE(Get("test.ini").find(longValue), std::string::npos);  // stored whole
}

TEST_F(ConfigTest, HostileIniInputParsesAndSurvivesRewrites) {
  std::string junk = "[unterminated\n=novalue\n]\n[]\n";
  junk += std::string(100000, 'x') + "\n";
  junk += std::string("bin\x01\x02\xff\0z=1\n", 11);
  junk += "[S]\nkey=v\r\nother";  // CR line end, no final line end
  Put("test.ini", junk);
  ZConfig config = Ini();
  EXPECT_EQ(config.GetString("S", "key", ""), "v");
  config.SetString("S", "added", "new\nline");  // a line break cannot split the entry
  std::string after = Get("test.ini");
  EXPECT_EQ(after.find(junk.substr(0, junk.size() - 5)), 0u);  // all kept, in order
  EXPECT_NE(after.find("added=new line\n"), std::string::npos);
  EXPECT_EQ(config.GetString("S", "added", ""), "new line");
  EXPECT_EQ(config.GetString("S", "other", "d"), "d");
}

TEST_F(ConfigTest, MisuseIsReportedAndReadsGiveDefaults) {
  AssertCapture capture;
  ZConfig config = Ini();
  EXPECT_EQ(config.GetString("S", "", "d"), "d");
  EXPECT_EQ(config.GetString("", "k", "d"), "d");
  config.SetString("", "k", "v");
  config.DeleteSection("");
  EXPECT_EQ(AssertCapture::Count(), 4u);
  EXPECT_EQ(AssertCapture::LastMessage(), "Invalid parameter");

  ZConfig environment(ZConfig::Environment);
  AssertCapture::Clear();
  EXPECT_EQ(environment.GetString("A=B", "d"), "d");
  environment.SetString("A=B", "v");
  EXPECT_EQ(AssertCapture::Count(), 2u);

  AssertCapture::Clear();
  ZConfig unwritable("Options", ZConfig::File, Path("no/such/dir/x.ini").c_str());
  unwritable.SetString("S", "k", "v");
  EXPECT_EQ(AssertCapture::LastMessage(), "Operating System error");
}

TEST_F(ConfigTest, EnvironmentSource) {
  ZConfig config(ZConfig::Environment);
  config.SetString("Any", "ZCONFIG_TEST_VARIABLE", "value 1");
  EXPECT_STREQ(getenv("ZCONFIG_TEST_VARIABLE"), "value 1");
  EXPECT_EQ(config.GetString("ignored", "ZCONFIG_TEST_VARIABLE", ""), "value 1");
  EXPECT_NE(Join(config.GetKeys()).find(";ZCONFIG_TEST_VARIABLE;"), std::string::npos);
  EXPECT_EQ(config.GetSections().GetSize(), 0);
  config.DeleteKey("ZCONFIG_TEST_VARIABLE");
  EXPECT_EQ(getenv("ZCONFIG_TEST_VARIABLE"), nullptr);
  EXPECT_EQ(config.GetString("ZCONFIG_TEST_VARIABLE", "gone"), "gone");
}

// ---------------------------------------------------------------- resolution

TEST_F(ConfigTest, ApplicationSourcePrefersTheIniBesideTheExecutable) {
  ZConfig registry(ZConfig::Application);
  EXPECT_EQ(registry.GetSource(), ZConfig::Application);
  EXPECT_EQ(registry.GetLocation(), "SOFTWARE\\Acme\\Gate\\CurrentVersion\\");
  EXPECT_EQ(registry.GetDefaultSection(), "Options");

  SetIdentity("", "Gate", "", false);
  EXPECT_EQ(ZConfig(ZConfig::Application).GetLocation(), "SOFTWARE\\Zunder\\Gate\\CurrentVersion\\");

  Put("gate.INI", "[Globals]\nPort=1\n");
  ZConfig file("Globals", ZConfig::Application);
  EXPECT_EQ(file.GetSource(), ZConfig::File);
  EXPECT_EQ(std::string(file.GetLocation().Text()), Path("gate.INI"));
  EXPECT_EQ(file.GetInteger("Port", 0), 1);
}

// ---------------------------------------------------------------- file modes

// Settings hold the administration password in clear: every file the store
// creates is its owner's alone, while a file that exists keeps its mode
// through the replacement that rewrites it.
TEST_F(ConfigTest, CreatedSettingsFilesArePrivateAndExistingOnesKeepTheirMode) {
  const mode_t savedMask = umask(022);  // what would let a plain create be read by all
  auto modeOf = [&](const std::string& name) {
    struct stat info;
    return stat(Path(name).c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
  };
  struct Case {
    const char* file;
    int existingMode;  // 0: the file does not exist before the write
    std::function<void()> write;
  };
  const Case cases[] = {
      {"HKEY_CURRENT_USER.reg", 0, [] { ZConfig(ZConfig::Application).SetString("Globals", "Password", "x"); }},
      {"fresh.ini", 0, [&] { Ini("fresh.ini").SetString("Password", "x"); }},
      {"shared.ini", 0640, [&] { Ini("shared.ini").SetString("Password", "x"); }},
      {"open.ini", 0644, [&] { Ini("open.ini").SetString("Password", "x"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (c.existingMode != 0) {
      Put(c.file, "[Options]\n");
      ASSERT_EQ(chmod(Path(c.file).c_str(), static_cast<mode_t>(c.existingMode)), 0);
    }
    c.write();
    EXPECT_NE(Get(c.file).find("Password"), std::string::npos);
    EXPECT_EQ(modeOf(c.file), c.existingMode != 0 ? c.existingMode : 0600);
    EXPECT_EQ(modeOf(std::string(c.file) + ".lock"), 0600);
  }
  umask(savedMask);
  // Nothing is left of the temporary files the replacements wrote.
  std::vector<std::string> names;
  if (DIR* listing = opendir(dir.c_str())) {
    while (dirent* entry = readdir(listing)) names.push_back(entry->d_name);
    closedir(listing);
  }
  EXPECT_EQ(names.size(), 2 + 2 * std::size(cases));
}

// ---------------------------------------------------------------- registry

TEST_F(ConfigTest, RegistryWritesGoToTheUserUnlessAService) {
  ZConfig config(ZConfig::Application);
  config.SetString("Globals", "Port", "1082");
  EXPECT_EQ(Get("HKEY_CURRENT_USER.reg"),
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE]\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Acme]\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Acme\\Gate]\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Acme\\Gate\\CurrentVersion]\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Acme\\Gate\\CurrentVersion\\Globals]\n"
            "\"Port\"=\"1082\"\n\n");
  EXPECT_EQ(Get("HKEY_LOCAL_MACHINE.reg"), "");

  std::remove(Path("HKEY_CURRENT_USER.reg").c_str());
  SetIdentity("Acme", "Gate", "1.0", true);
  ZConfig(ZConfig::Application).SetString("Globals", "Port", "1082");
  EXPECT_NE(Get("HKEY_LOCAL_MACHINE.reg")
                .find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\Gate\\CurrentVersion\\Globals]\n\"Port\"=\"1082\""),
            std::string::npos);
  EXPECT_EQ(Get("HKEY_CURRENT_USER.reg"), "");
}

TEST_F(ConfigTest, RegistryPrefersAnExistingVersionKey) {
  Put("HKEY_LOCAL_MACHINE.reg",
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\Gate\\1.0\\Globals]\n\"Port\"=\"1\"\n");
  ZConfig config(ZConfig::Application);
  EXPECT_EQ(config.GetString("Globals", "Port", ""), "1");
  config.SetString("Globals", "Port", "1082");  // written where it was found
  EXPECT_EQ(config.GetString("Globals", "Port", ""), "1082");
  EXPECT_NE(Get("HKEY_LOCAL_MACHINE.reg").find("\"Port\"=\"1082\""), std::string::npos);
  EXPECT_EQ(Get("HKEY_CURRENT_USER.reg"), "");

  // The user's unversioned key does not hide the machine's versioned one,
  // but the user's versioned key comes first of all.
  Put("HKEY_CURRENT_USER.reg",
      "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Acme\\Gate\\CurrentVersion\\Globals]\n\"Port\"=\"2\"\n");
  EXPECT_EQ(config.GetString("Globals", "Port", ""), "1082");
  Put("HKEY_CURRENT_USER.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Acme\\Gate\\1.0\\Globals]\n\"Port\"=\"3\"\n");
  EXPECT_EQ(config.GetString("Globals", "Port", ""), "3");
  SetIdentity("Acme", "Gate", "", false);  // without a version: the plain path only
  Put("HKEY_CURRENT_USER.reg", "");
  EXPECT_EQ(ZConfig(ZConfig::Application).GetString("Globals", "Port", "none"), "none");
}

TEST_F(ConfigTest, RegistryKeepsTextsAndNumbersApart) {
  ZConfig config("Globals", ZConfig::Application);
  config.SetInteger("Level", 12);
  config.SetBoolean("Flag", true);
  config.SetString("Twelve", "12");
  config.SetString("Tricky", "C:\\dir \"quoted\"");
  std::string hive = Get("HKEY_CURRENT_USER.reg");
  EXPECT_NE(hive.find("\"Level\"=dword:0000000c\n\"Flag\"=dword:00000001\n\"Twelve\"=\"12\"\n"
                      "\"Tricky\"=\"C:\\\\dir \\\"quoted\\\"\"\n"),
            std::string::npos);
  EXPECT_EQ(config.GetString("Level", ""), "12");  // a number read as text
  EXPECT_EQ(config.GetInteger("Twelve", 0), 12);   // a text read as a number
  EXPECT_EQ(config.GetString("TRICKY", ""), "C:\\dir \"quoted\"");
  EXPECT_TRUE(config.GetBoolean("flag", false));
  EXPECT_EQ(config.GetInteger("level", 0), 12);
  config.SetInteger("Level", -1);
  EXPECT_EQ(config.GetInteger("Level", 0), -1);
  EXPECT_NE(Get("HKEY_CURRENT_USER.reg").find("\"Level\"=dword:ffffffff"), std::string::npos);
  EXPECT_EQ(Join(config.GetKeys()), "Level;Flag;Twelve;Tricky;");
  EXPECT_EQ(config.GetTime("absent"), ZTime(0, 0, 0, 1, 1, 1996));
}

TEST_F(ConfigTest, RegistrySectionsNestAndDeleteWithTheirSubkeys) {
  ZConfig config(ZConfig::Application);
  config.SetString("Globals", "a", "1");
  config.SetString("Remote1\\Relays", "b", "2");
  config.SetString("Remote2", "c", "3");
  EXPECT_EQ(Join(config.GetSections()), "Globals;Remote1;Remote2;");
  EXPECT_EQ(config.GetString("remote1\\relays", "B", ""), "2");
  config.DeleteSection("REMOTE1");
  EXPECT_EQ(Join(config.GetSections()), "Globals;Remote2;");
  EXPECT_EQ(config.GetString("Remote1\\Relays", "b", "gone"), "gone");
  config.DeleteKey("Remote2", "C");
  EXPECT_EQ(config.GetString("Remote2", "c", "gone"), "gone");
  EXPECT_EQ(Join(config.GetKeys("Remote2")), "");
  config.DeleteKey("Absent", "x");  // quietly nothing
  config.DeleteSection("Absent");
  EXPECT_EQ(Join(config.GetSections()), "Globals;Remote2;");
}

TEST_F(ConfigTest, HostileHiveInputParsesAndSurvivesRewrites) {
  const std::string key = "[HKEY_CURRENT_USER\\SOFTWARE\\Acme\\Gate\\CurrentVersion\\Globals]";
  std::string junk = "REGEDIT4\n\ngarbage before keys\n\n[HKEY_CLASSES_ROOT\\.txt]\n\"x\"=\"y\"\n\n" + key +
                     "\n\"Bin\"=hex:01,02\n\"Bad\"=dword:zz\n\"Open=\"unterminated\n\"Esc\"=\"a\\qb\"\n" +
                     std::string(50000, '"') + "\n" + std::string("\"Nul\"=\"a\0b\"\n", 12) +
                     "@=\"default\"\n[unclosed\n";
  Put("HKEY_CURRENT_USER.reg", junk);
  ZConfig config("Globals", ZConfig::Application);
  EXPECT_EQ(config.GetString("Bin", "d"), "d");  // other types give the default
  EXPECT_EQ(config.GetInteger("Bad", 7), 7);
  EXPECT_EQ(config.GetString("Esc", ""), "aqb");  // a bad escape reads leniently
  EXPECT_EQ(config.GetString("Open", "d"), "d");
  config.SetString("Port", "1082");
  std::string after = Get("HKEY_CURRENT_USER.reg");
  for (const std::string& kept :
       {std::string("garbage before keys"), std::string("[HKEY_CLASSES_ROOT\\.txt]"), std::string("\"Bin\"=hex:01,02"),
        std::string("\"Bad\"=dword:zz"), std::string("@=\"default\""), std::string(50000, '"')}) {
    EXPECT_NE(after.find(kept), std::string::npos) << kept.substr(0, 40);
  }
  EXPECT_EQ(config.GetString("Port", ""), "1082");
  EXPECT_EQ(config.GetString("Bin", "d"), "d");
}

// ---------------------------------------------------------------- other processes

// Waits for a child, bounded: a child still running after the limit is
// killed and counts as a failure.
int WaitForChild(pid_t child, std::chrono::seconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ConfigTest, ConcurrentWritersInTwoProcessesLoseNothing) {
  constexpr int kWrites = 200;
  auto writer = [&](const char* prefix, bool registry) {
    ZConfig config = registry ? ZConfig("Shared", ZConfig::Application) : Ini("shared.ini");
    for (int i = 0; i < kWrites; ++i) {
      config.SetInteger("Shared", FormatText("%s%d", prefix, i), i);
    }
  };
  for (bool registry : {false, true}) {
    SCOPED_TRACE(registry ? "registry" : "ini");
    pid_t children[2];
    const char* prefixes[2] = {"a", "b"};
    for (int c = 0; c < 2; ++c) {
      children[c] = fork();
      ASSERT_GE(children[c], 0);
      if (children[c] == 0) {
        writer(prefixes[c], registry);
        _exit(0);
      }
    }
    for (pid_t child : children) EXPECT_EQ(WaitForChild(child, std::chrono::seconds(60)), 0);
    ZConfig check = registry ? ZConfig("Shared", ZConfig::Application) : Ini("shared.ini");
    int missing = 0;
    for (const char* prefix : prefixes) {
      for (int i = 0; i < kWrites; ++i) {
        if (check.GetInteger("Shared", FormatText("%s%d", prefix, i), -1) != i) ++missing;
      }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(check.GetKeys("Shared").GetSize(), 2 * kWrites);
  }
}

TEST_F(ConfigTest, AWriterKilledMidWriteLeavesAWholeFile) {
  // A big file makes each rewrite take a while, so the kill lands inside one.
  std::string big = "[Filler]\n";
  for (int i = 0; i < 20000; ++i) big += "filler" + std::to_string(i) + "=some text to make the file larger\n";
  Put("crash.ini", big);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ZConfig config = Ini("crash.ini");
    for (int i = 0; i < 100000; ++i) config.SetInteger("Crash", FormatText("k%d", i), i);
    _exit(0);
  }
  // Wait (bounded) until the child has stored something, so the kill lands
  // in the middle of its later rewrites even on a slow, instrumented build.
  for (int waited = 0; waited < 3000 && Get("crash.ini").find("[Crash]") == std::string::npos; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  // Every line is a complete one of the old or new contents, and the keys
  // written form an unbroken run k0..kN-1.
  std::string after = Get("crash.ini");
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back(), '\n');
  EXPECT_EQ(after.compare(0, big.size(), big), 0);
  std::istringstream tail(after.substr(big.size()));
  std::string line;
  bool inSection = false;
  int next = 0;
  for (int lines = 0; lines < 200000 && std::getline(tail, line); ++lines) {
    if (!inSection) {
      if (lines == 0 && line.empty()) continue;  // the blank line before a new section
      ASSERT_EQ(line, "[Crash]");
      inSection = true;
      continue;
    }
    ASSERT_EQ(line, FormatText("k%d=%d", next, next).Text());
    ++next;
  }
  ZConfig config = Ini("crash.ini");
  ZIndex written = config.GetKeys("Crash").GetSize();
  EXPECT_GT(written, 0);  // the child got somewhere before it was killed
  EXPECT_EQ(written, next);
  for (ZIndex i = 0; i < written; ++i) {
    ASSERT_EQ(config.GetInteger("Crash", FormatText("k%d", i), -1), i);
  }
  EXPECT_EQ(config.GetString("Filler", "filler19999", ""), "some text to make the file larger");
}

// ---------------------------------------------------------------- several values at once

TEST_F(ConfigTest, SetStringsWritesAllValuesInOneRewriteInOrder) {
  Put("test.ini", "; kept\n[Globals]\nPort=1\nOther=x\n[Relays]\n");
  ZConfig config = Ini();
  config.SetStrings("Globals", {{"Port", "1082"}, {"New", "a"}, {"Newer", "b"}, {"New", "c"}});
  // Existing keys keep their place; new ones are appended in
  // the order given, a repeated one taking the last value.
  EXPECT_EQ(Get("test.ini"), "; kept\n[Globals]\nPort=1082\nOther=x\nNew=c\nNewer=b\n[Relays]\n");
  config.SetStrings("Fresh", {{"a", "1"}});
  EXPECT_EQ(config.GetString("Fresh", "a", ""), "1");
  config.SetStrings("Globals", {});  // nothing to write: the file stays
  EXPECT_EQ(config.GetString("Globals", "Port", ""), "1082");

  // A key that is no key writes none of them.
  AssertCapture capture;
  config.SetStrings("Globals", {{"Port", "9"}, {"", "x"}});
  EXPECT_EQ(AssertCapture::Count(), 1u);
  EXPECT_EQ(config.GetString("Globals", "Port", ""), "1082");
}

TEST_F(ConfigTest, SetStringsInTheRegistryAndTheEnvironment) {
  ZConfig config(ZConfig::Application);
  config.SetStrings("Globals", {{"Port", "1082"}, {"Login", "admin"}});
  EXPECT_EQ(config.GetString("Globals", "Port", ""), "1082");
  EXPECT_EQ(config.GetString("Globals", "Login", ""), "admin");
  EXPECT_NE(Get("HKEY_CURRENT_USER.reg").find("\"Port\"=\"1082\"\n\"Login\"=\"admin\"\n"), std::string::npos);

  ZConfig environment(ZConfig::Environment);
  environment.SetStrings("ignored", {{"ZCONFIG_TEST_A", "1"}, {"ZCONFIG_TEST_B", "2"}});
  EXPECT_STREQ(getenv("ZCONFIG_TEST_A"), "1");
  EXPECT_STREQ(getenv("ZCONFIG_TEST_B"), "2");
  unsetenv("ZCONFIG_TEST_A");
  unsetenv("ZCONFIG_TEST_B");
}

TEST_F(ConfigTest, ChangesApplyInOrderAsOneWrite) {
  Put("test.ini", "[Remote1]\nRemote Name=a\n[Remote2]\nRemote Name=b\nDial Retries=2\n[Other]\nx=1\n");
  ZConfig config = Ini();
  ZConfig::Changes changes;
  EXPECT_TRUE(changes.IsEmpty());
  // Remote1 removed and Remote2 moved into its place.
  changes.DeleteSection("Remote1");
  changes.SetString("Remote1", "Remote Name", "b");
  changes.SetString("Remote1", "Dial Retries", "2");
  changes.DeleteSection("Remote2");
  EXPECT_FALSE(changes.IsEmpty());
  config.Apply(changes);
  EXPECT_EQ(Get("test.ini"), "[Other]\nx=1\n\n[Remote1]\nRemote Name=b\nDial Retries=2\n");

  // A step without a section writes none of them.
  AssertCapture capture;
  ZConfig::Changes misuse;
  misuse.SetString("Other", "x", "2");
  misuse.DeleteSection("");
  config.Apply(misuse);
  EXPECT_EQ(AssertCapture::Count(), 1u);
  EXPECT_EQ(config.GetString("Other", "x", ""), "1");
}

TEST_F(ConfigTest, ChangesApplyToTheRegistryKeyWhereItWasFound) {
  Put("HKEY_LOCAL_MACHINE.reg",
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\Gate\\1.0\\Remote1]\n\"Remote Name\"=\"a\"\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\Gate\\1.0\\Remote2]\n\"Remote Name\"=\"b\"\n");
  ZConfig config(ZConfig::Application);
  ZConfig::Changes changes;
  changes.DeleteSection("Remote1");
  changes.SetString("Remote1", "Remote Name", "b");
  changes.DeleteSection("Remote2");
  config.Apply(changes);
  EXPECT_EQ(config.GetString("Remote1", "Remote Name", ""), "b");
  EXPECT_EQ(config.GetString("Remote2", "Remote Name", "none"), "none");
  const std::string hive = Get("HKEY_LOCAL_MACHINE.reg");
  EXPECT_NE(hive.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\Gate\\1.0\\Remote1]\n\"Remote Name\"=\"b\""),
            std::string::npos);
  EXPECT_EQ(hive.find("Remote2"), std::string::npos);
  EXPECT_EQ(Get("HKEY_CURRENT_USER.reg"), "");
}

// ---------------------------------------------------------------- key names

// Every key the check accepts reads back as itself from an INI file and
// from the registry, beside a section that stays whole; the INI breakers
// among the refused ones really do read back otherwise.
TEST_F(ConfigTest, StorableKeysReadBackAsThemselvesFromEveryStore) {
  struct Case {
    const char* key;
    bool storable;
    bool breaksIni;  // refused, and an INI file would read it back otherwise
  };
  const Case cases[] = {
      {"telnet", true, false},        {"socks 1080/tcp", true, false},
      {"192.168.1.0", true, false},   {"a[b]", true, false},
      {"x;y#z", true, false},         {"C:\\dir \"q\"", true, false},
      {"<b>origin</b>", true, false}, {"\xc3\xa9t\xc3\xa9", true, false},
      {"[Globals]", false, true},     {"[x", false, true},
      {";comment", false, true},      {"#comment", false, true},
      {"a=b", false, true},           {"=a", false, true},
      {" lead", false, true},         {"trail ", false, true},
      {"two\nlines", false, true},    {"cr\r", false, true},
      {"tab\tinside", false, false},  {"bell\x07", false, false},
      {"del\x7f", false, false},      {"", false, false},
  };
  ZConfig ini = Ini();
  ZConfig registry("Globals", ZConfig::Application);
  for (const Case& c : cases) {
    EXPECT_EQ(ZConfig::IsStorableKey(c.key), c.storable) << "[" << c.key << "]";
    if (*c.key == '\0') continue;
    for (ZConfig* store : {&ini, &registry}) {
      if (!c.storable && store == &registry) continue;
      store->DeleteSection("Security");
      store->SetStrings("Globals", {{"Password", "secret"}});
      store->SetStrings("Security", {{c.key, "0.0.0.0"}});
      const std::string keys = Join(store->GetKeys("Security"));
      const bool same = keys == std::string(c.key) + ";" && store->GetString("Security", c.key, "") == "0.0.0.0";
      if (c.storable) {
        EXPECT_TRUE(same) << "[" << c.key << "] read back as [" << keys << "]";
        EXPECT_EQ(store->GetString("Globals", "Password", ""), "secret") << c.key;
      } else if (c.breaksIni) {
        EXPECT_FALSE(same) << "[" << c.key << "]";
      }
    }
  }
}

}  // namespace
