// The headless host as a user runs it, against a private system bus with a fake logind and
// a private session bus with a fake screen saver service: sleep and lock end the session,
// streaming holds logind's inhibitor lock and keeps the screen saver off, each lock source
// counts on its own, and a bus that restarts leaves the screen locked until the host has
// connected again and read the states anew.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>

#include "client/OrvoClient.h"
#include "core/AsioQueues.h"
#include "core/Coding.h"
#include "pairing/PairingMessages.h"
#include "platform/linux/net/AsioNetwork.h"
#include "support/ChildProcess.h"
#include "support/PrivateDbus.h"
#include "support/RecordingLogger.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace orvo::testing {
namespace {

using ::testing::HasSubstr;

std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++count;
  return count;
}

class PowerLockIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.file("run"));
    ::chmod(dir.file("run").c_str(), 0700);
    ::setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
    ::setenv("ORVO_BIND_ADDRESS", "127.0.0.1", 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("XDG_SESSION_ID");
    systemBus = std::make_unique<PrivateDbus>(PrivateDbus::Type::system);
    sessionBus = std::make_unique<PrivateDbus>(PrivateDbus::Type::session);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus->address().c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus->address().c_str(), 1);
  }

  void TearDown() override {
    if (host) stopHost();
  }

  void startLogind(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {ORVO_FAKE_LOGIND_PATH, "--screensaver"});
    logind = std::make_unique<ChildProcess>(options);
    ASSERT_TRUE(waitUntil([&] { return logind->output().find("ready\n") != std::string::npos; })) << logind->output();
  }
  // Runs one command of the fake (logind's unless told) and waits until it is carried out.
  void fake(const std::string& command, ChildProcess* target = nullptr) {
    auto& process = target ? *target : *logind;
    const auto done = countOf(process.output(), "done " + command + "\n");
    ASSERT_TRUE(process.write(command + "\n"));
    ASSERT_TRUE(waitUntil([&] { return countOf(process.output(), "done " + command + "\n") > done; }))
        << process.output();
  }
  bool logindSaw(const std::string& line, std::size_t times = 1) {
    return waitUntil([&] { return countOf(logind->output(), line + "\n") >= times; });
  }

  void startHost() {
    host = std::make_unique<ChildProcess>(std::vector<std::string>{ORVO_HOST_PATH, "--headless"});
    ASSERT_TRUE(waitUntil([&] { return ctl({"status"}).first == 0; })) << host->output();
  }
  void stopHost() {
    ::kill(host->pid(), SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return host->exitStatus().has_value(); })) << host->output();
    host.reset();
  }
  const std::string& hostLog() { return host->output(); }
  bool hostSaid(const std::string& line, std::size_t times = 1) {
    return waitUntil([&] { return countOf(hostLog(), line + "\n") >= times; });
  }

  std::pair<int, std::string> ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {ORVO_HOST_PATH, "ctl"});
    ChildProcess process(args);
    if (!waitUntil([&] { return process.exitStatus().has_value(); })) return {-1, process.output()};
    return {*process.exitStatus(), process.output()};
  }

  // A client session, paired through an advanced pairing token, on the test's own loop.
  struct Session {
    std::shared_ptr<client::OrvoClient> client;
    bool ready = false;
    int windowLists = 0;
    std::optional<client::SessionEnd> end;
  };
  std::unique_ptr<Session> connect() {
    if (!invitation) {
      const auto token = ctl({"token"});
      invitation = decodePairingToken(token.second.substr(0, token.second.find('\n')));
      EXPECT_TRUE(invitation.has_value()) << token.second;
    }
    std::smatch port;
    const auto status = ctl({"status"}).second;
    EXPECT_TRUE(std::regex_search(status, port, std::regex("session port ([0-9]+)"))) << status;
    auto session = std::make_unique<Session>();
    auto* s = session.get();
    s->client = client::OrvoClient::create(main, network, {.deviceName = "Tablet", .pingInterval = 2.0},
                                           {.ready = [s] { s->ready = true; },
                                            .windowList = [s](const WindowListMessage&) { ++s->windowLists; },
                                            .ended = [s](const client::SessionEnd& end) { s->end = end; }});
    s->client->connect("127.0.0.1", static_cast<std::uint16_t>(std::stoi(port[1])), invitation->pairingID,
                       *base64Decode(invitation->pskBase64));
    EXPECT_TRUE(runUntil([&] { return s->ready || s->end; })) << hostLog();
    return session;
  }
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      context.run_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Whether the host answers a window-list request (it does not while locked or asleep)
  // within `within`: the full wait where it must, a short one where it must not.
  bool served(Session& session, std::chrono::milliseconds within = std::chrono::seconds(10)) {
    const int before = session.windowLists;
    session.client->requestWindowList();
    return runUntil([&] { return session.windowLists > before; }, within);
  }
  static constexpr std::chrono::seconds kNoAnswerWait{2};

  TempDir dir;
  std::unique_ptr<PrivateDbus> systemBus;
  std::unique_ptr<PrivateDbus> sessionBus;
  std::unique_ptr<ChildProcess> logind;
  std::unique_ptr<ChildProcess> host;
  std::optional<OrvoPairingInvitation> invitation;

  RecordingLogger logger;
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> work{context.get_executor()};
  AsioMainQueue main{context, logger};
  platform::AsioNetwork network{context, "127.0.0.1", logger};
};

constexpr const char* kInhibit = "inhibit idle:sleep|Orvo|Orvo streaming active|block";
constexpr const char* kScreenSaverInhibit = "screensaver inhibit Orvo|Orvo streaming active -> 1";

TEST_F(PowerLockIntegrationTest, StreamingHoldsTheInhibitorAndLockEndsTheSessionUntilUnlock) {
  ::setenv("XDG_SESSION_ID", "7", 1);
  startLogind();
  startHost();
  ASSERT_TRUE(logindSaw("call GetSession 7")) << logind->output();
  ASSERT_TRUE(hostSaid("OrvoHost: watching logind session /org/freedesktop/login1/session/_37 for sleep, lock and unlock"))
      << hostLog();
  EXPECT_THAT(ctl({"status"}).second, HasSubstr("Screen: unlocked\n"));

  // Streaming takes logind's inhibitor lock and keeps the screen saver off.
  auto first = connect();
  ASSERT_TRUE(first->ready) << hostLog();
  ASSERT_TRUE(logindSaw(kInhibit)) << logind->output();
  ASSERT_TRUE(logindSaw(kScreenSaverInhibit)) << logind->output();
  EXPECT_TRUE(hostSaid("Display sleep prevention enabled"));
  EXPECT_TRUE(served(*first));

  // A lock, reported by the signal and by the hint, is one event: it releases both, drops
  // the session and stops serving.
  fake("lock");
  fake("hint true");
  ASSERT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input")) << hostLog();
  EXPECT_TRUE(logindSaw("released")) << logind->output();
  EXPECT_TRUE(logindSaw("screensaver uninhibit 1")) << logind->output();
  EXPECT_TRUE(runUntil([&] { return first->end.has_value(); })) << hostLog();
  // Released first, before the session is torn down.
  EXPECT_THAT(hostLog(), HasSubstr("OrvoHost: screen locked → disable streaming/input\nDisplay sleep prevention disabled\n"));
  EXPECT_THAT(ctl({"status"}).second, HasSubstr("Screen: locked\n"));

  // A connection accepted while locked stays open but is not served and holds nothing.
  auto whileLocked = connect();
  ASSERT_TRUE(whileLocked->ready) << hostLog();
  EXPECT_FALSE(served(*whileLocked, kNoAnswerWait));
  EXPECT_FALSE(whileLocked->end.has_value());
  EXPECT_EQ(countOf(logind->output(), "inhibit idle:sleep"), 1u);

  // Unlock restores nothing: the first session stays gone. The connection accepted while
  // locked is not cancelled by it and is served from now on, so it holds the activity.
  fake("unlock");
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect")) << hostLog();
  fake("hint false");  // the same state again: no second event
  EXPECT_FALSE(whileLocked->end.has_value());
  EXPECT_TRUE(served(*whileLocked));
  EXPECT_TRUE(logindSaw(kInhibit, 2)) << logind->output();
  EXPECT_EQ(countOf(hostLog(), "OrvoHost: screen locked → disable streaming/input\n"), 1u) << hostLog();
  EXPECT_EQ(countOf(hostLog(), "OrvoHost: screen unlocked → allow reconnect\n"), 1u) << hostLog();
  EXPECT_THAT(ctl({"status"}).second, HasSubstr("Screen: unlocked\n"));
}

TEST_F(PowerLockIntegrationTest, SleepDropsTheSessionAndWakeRepublishes) {
  startLogind();
  startHost();
  // No XDG_SESSION_ID: the session of the host's process.
  ASSERT_TRUE(hostSaid("OrvoHost: watching logind session /org/freedesktop/login1/session/_37 for sleep, lock and unlock"))
      << hostLog();
  EXPECT_THAT(logind->output(), HasSubstr("call GetSessionByPID "));

  auto session = connect();
  ASSERT_TRUE(session->ready) << hostLog();
  ASSERT_TRUE(logindSaw(kInhibit)) << logind->output();

  fake("sleep");
  ASSERT_TRUE(hostSaid("OrvoHost: host will sleep → tearing down session")) << hostLog();
  EXPECT_TRUE(logindSaw("released")) << logind->output();
  EXPECT_TRUE(runUntil([&] { return session->end.has_value(); })) << hostLog();

  // A connection made before the wake is not served, and the wake drops it.
  auto stale = connect();
  ASSERT_TRUE(stale->ready) << hostLog();
  EXPECT_FALSE(served(*stale, kNoAnswerWait));
  fake("wake");
  ASSERT_TRUE(hostSaid("OrvoHost: host did wake → reset stale session + republish if needed")) << hostLog();
  EXPECT_TRUE(runUntil([&] { return stale->end.has_value(); })) << hostLog();

  auto fresh = connect();
  ASSERT_TRUE(fresh->ready) << hostLog();
  EXPECT_TRUE(served(*fresh));
  EXPECT_TRUE(logindSaw(kInhibit, 2)) << logind->output();
}

TEST_F(PowerLockIntegrationTest, UserServiceWatchesTheUsersGraphicalSessionAndSeesALockedStart) {
  startLogind({"--no-pid-sessions"});
  fake("hint true");  // locked before the host starts
  startHost();
  ASSERT_TRUE(hostSaid("OrvoHost: watching logind session /org/freedesktop/login1/session/_37 for sleep, lock and unlock"))
      << hostLog();
  EXPECT_THAT(logind->output(), HasSubstr("call GetUser "));
  EXPECT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input")) << hostLog();
  EXPECT_THAT(ctl({"status"}).second, HasSubstr("Screen: locked\n"));

  // The desktop's screen saver reports too, as a source of its own: its "inactive" does not
  // end logind's lock. Locked while any source says locked.
  fake("active true");
  fake("active false");
  auto session = connect();
  ASSERT_TRUE(session->ready) << hostLog();
  EXPECT_FALSE(served(*session, kNoAnswerWait)) << "logind still says locked";
  EXPECT_THAT(ctl({"status"}).second, HasSubstr("Screen: locked\n"));
  fake("hint false");
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect")) << hostLog();
  EXPECT_TRUE(served(*session));

  // And the other way round: logind's unlock does not end the screen saver's lock.
  fake("active true");
  ASSERT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input", 2)) << hostLog();
  fake("unlock");
  fake("hint false");
  auto again = connect();
  ASSERT_TRUE(again->ready) << hostLog();
  EXPECT_FALSE(served(*again, kNoAnswerWait)) << "the screen saver still says active";
  fake("active false");
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect", 2)) << hostLog();
  EXPECT_TRUE(served(*again));
  EXPECT_EQ(countOf(hostLog(), "OrvoHost: screen locked → disable streaming/input\n"), 2u) << hostLog();
  EXPECT_EQ(countOf(hostLog(), "OrvoHost: screen unlocked → allow reconnect\n"), 2u) << hostLog();
}

// The system bus restarts (twice): meanwhile the screen counts as locked; once the host is
// connected again and logind answers, the states it reads decide, and events, the
// inhibitor and serving work as before.
TEST_F(PowerLockIntegrationTest, AfterTheSystemBusRestartsTheHostReconnectsAndReadsTheStatesAgain) {
  ::setenv("XDG_SESSION_ID", "7", 1);
  startLogind();
  startHost();
  auto first = connect();
  ASSERT_TRUE(first->ready) << hostLog();
  ASSERT_TRUE(logindSaw(kInhibit)) << logind->output();
  EXPECT_TRUE(served(*first));

  // The bus goes: the session ends as for a lock, and nothing is served.
  systemBus->stop();
  ASSERT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input")) << hostLog();
  EXPECT_THAT(hostLog(), HasSubstr("OrvoHost: lost the system bus:"));
  EXPECT_THAT(hostLog(), HasSubstr("the screen counts as locked until logind answers again"));
  EXPECT_TRUE(runUntil([&] { return first->end.has_value(); })) << hostLog();
  EXPECT_THAT(ctl({"status"}).second, HasSubstr("Screen: locked\n"));

  // Back, but logind is not yet: still locked.
  logind.reset();
  auto restarted = std::chrono::steady_clock::now();
  systemBus->start();
  ASSERT_TRUE(hostSaid("OrvoHost: connected to the system bus again")) << hostLog();
  const double reconnected = std::chrono::duration<double>(std::chrono::steady_clock::now() - restarted).count();
  auto waiting = connect();
  ASSERT_TRUE(waiting->ready) << hostLog();
  EXPECT_FALSE(served(*waiting, kNoAnswerWait));

  // logind returns with the session locked: read, still locked.
  startLogind({"--locked"});
  ASSERT_TRUE(hostSaid("OrvoHost: logind answered: the session is locked, the machine is awake")) << hostLog();
  EXPECT_FALSE(served(*waiting, kNoAnswerWait));
  EXPECT_EQ(countOf(hostLog(), "OrvoHost: screen unlocked → allow reconnect\n"), 0u) << hostLog();

  // Unlocked on the new bus: served, and the inhibitor is taken from the new logind.
  const auto unlockAsked = std::chrono::steady_clock::now();
  fake("hint false");
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect")) << hostLog();
  EXPECT_TRUE(served(*waiting));
  EXPECT_TRUE(logindSaw(kInhibit)) << logind->output();
  const double unlockedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - unlockAsked).count();
  fake("lock");
  ASSERT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input", 2)) << hostLog();
  EXPECT_TRUE(logindSaw("released")) << logind->output();
  fake("unlock");
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect", 2)) << hostLog();

  // Once more, and logind comes back about to sleep: read as a sleep, ended by the wake.
  systemBus->stop();
  ASSERT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input", 3)) << hostLog();
  logind.reset();
  systemBus->start();
  startLogind({"--preparing-for-sleep"});
  ASSERT_TRUE(hostSaid("OrvoHost: host will sleep → tearing down session")) << hostLog();
  ASSERT_TRUE(hostSaid("OrvoHost: logind answered: the session is unlocked, the machine is going to sleep")) << hostLog();
  fake("wake");
  ASSERT_TRUE(hostSaid("OrvoHost: host did wake → reset stale session + republish if needed")) << hostLog();
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect", 3)) << hostLog();
  auto fresh = connect();
  ASSERT_TRUE(fresh->ready) << hostLog();
  EXPECT_TRUE(served(*fresh));
  EXPECT_TRUE(logindSaw(kInhibit)) << logind->output();
  std::printf("[ system bus ] connected again %.2f s after the bus was back; served %.2f s after logind said unlocked\n",
              reconnected, unlockedAfter);
}

// The session bus restarts: the screen saver it spoke for counts as locked until the host
// is connected again; a screen saver that is not back does not count, one that comes and
// says active does.
TEST_F(PowerLockIntegrationTest, AfterTheSessionBusRestartsTheScreenSaverIsAskedAgain) {
  startLogind();
  startHost();
  auto first = connect();
  ASSERT_TRUE(first->ready) << hostLog();
  ASSERT_TRUE(logindSaw(kScreenSaverInhibit)) << logind->output();

  sessionBus->stop();
  ASSERT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input")) << hostLog();
  EXPECT_THAT(hostLog(), HasSubstr("the screen counts as locked until the screen saver service answers again"));
  EXPECT_TRUE(runUntil([&] { return first->end.has_value(); })) << hostLog();
  sessionBus->start();
  ASSERT_TRUE(hostSaid("OrvoHost: connected to the session bus again")) << hostLog();
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect")) << hostLog();
  auto second = connect();
  ASSERT_TRUE(second->ready) << hostLog();
  EXPECT_TRUE(served(*second));

  // A screen saver on the new bus: its inhibition is asked for, its lock counts.
  ChildProcess screenSaver({ORVO_FAKE_LOGIND_PATH, "--no-logind", "--screensaver"});
  ASSERT_TRUE(waitUntil([&] { return screenSaver.output().find("ready\n") != std::string::npos; }))
      << screenSaver.output();
  second->client->close();
  auto third = connect();
  ASSERT_TRUE(third->ready) << hostLog();
  EXPECT_TRUE(served(*third));
  EXPECT_TRUE(waitUntil([&] { return screenSaver.output().find("screensaver inhibit Orvo|") != std::string::npos; }))
      << screenSaver.output();
  fake("active true", &screenSaver);
  ASSERT_TRUE(hostSaid("OrvoHost: screen locked → disable streaming/input", 2)) << hostLog();
  fake("active false", &screenSaver);
  ASSERT_TRUE(hostSaid("OrvoHost: screen unlocked → allow reconnect", 2)) << hostLog();
}

TEST_F(PowerLockIntegrationTest, WithoutASessionOrLogindTheHostSaysSoAndKeepsWorking) {
  struct Case {
    const char* name;
    std::vector<std::string> logindOptions;  // empty: no logind at all
    bool withLogind;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"no graphical session", {"--no-pid-sessions", "--no-display"}, true,
       "OrvoHost: screen lock events from logind are unavailable: no logind session ("},
      {"no logind", {}, false, "OrvoHost: sleep and lock events are unavailable: logind is not running on the system bus\n"},
      {"no system bus", {}, false, "OrvoHost: sleep and lock events are unavailable: no system bus ("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.withLogind) startLogind(c.logindOptions);
    if (std::string(c.name) == "no system bus") {
      ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("no-bus")).c_str(), 1);
    }
    startHost();
    ASSERT_TRUE(waitUntil([&] { return hostLog().find(c.line) != std::string::npos; })) << hostLog();
    EXPECT_EQ(countOf(hostLog(), "OrvoHost: sleep and lock events"), c.withLogind ? 0u : 1u) << hostLog();
    auto session = connect();
    EXPECT_TRUE(session->ready) << hostLog();
    EXPECT_TRUE(served(*session));
    session->client->close();
    stopHost();
    logind.reset();
  }
}

}  // namespace
}  // namespace orvo::testing
