// Kill test for upserts, removes and compaction: a forked child runs random
// upserts, removes, inserts, flushes and compactions on a collection (batch
// policy) and is killed with SIGKILL at a random moment. It reports each
// operation over a pipe before the call and, after it, whether the call
// ended with the log synced (the policy's 100th append, a flush, a compact).
// The parent then reopens the directory and checks, id by id, that each id
// holds the result of its last operation reported synced or of one attempted
// after it (nothing synced lost), with its own vector and payload, and that
// the data file and the log read to their ends. The directory lives on
// through every kill: each child goes on from what the last one left, so
// recovery and compaction are killed too.
//
// VARNEL_KILLS (default 20) sets the number of kills.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "reliability_util.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kIds = 200;
constexpr size_t kDim = 8;

std::vector<float> versioned(uint64_t id, uint64_t version) {
  return testing::vector_of(id * 1000003 + version, kDim);
}

void say(int fd, const std::string& line) {
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) _exit(3);
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// The child: never returns. Reports "A id version" (version 0: remove)
// before each operation, "D synced" after it, "S" after a flush or compact.
[[noreturn]] void child(const fs::path& dir, int out, uint64_t seed, uint64_t first_version) {
  auto opened = Collection::open_or_create(dir, testing::batch_config(kDim));
  if (!opened.ok()) _exit(2);
  Collection& c = *opened.value();
  std::mt19937_64 rng(seed);
  uint64_t version = first_version;
  size_t unsynced = 0;  // log appends since the last sync (the policy syncs at 100)
  say(out, "O\n");
  for (;;) {
    const uint64_t id = rng() % kIds;
    const int what = static_cast<int>(rng() % 1000);
    if (what < 8) {
      Status s = what < 4 ? c.flush() : c.compact();
      if (!s.ok()) _exit(4);
      unsynced = 0;
      say(out, "S\n");
      continue;
    }
    if (what < 250) {
      const bool present = c.contains(id);
      say(out, "A " + std::to_string(id) + " 0\n");
      if (!c.remove(id).ok()) _exit(5);
      if (present) ++unsynced;
    } else {
      ++version;
      say(out, "A " + std::to_string(id) + " " + std::to_string(version) + "\n");
      Payload p;
      p.data["v"] = json::Value(version);
      const std::vector<float> v = versioned(id, version);
      Status s = what < 350 ? c.insert(id, v, p) : c.upsert(id, v, p);
      if (!s.ok()) _exit(6);
      ++unsynced;
    }
    const bool synced = unsynced >= storage::kWalBatchSize;
    if (synced) unsynced = 0;
    say(out, synced ? "D 1\n" : "D 0\n");
  }
}

int kills() {
  const char* env = std::getenv("VARNEL_KILLS");
  const int n = env != nullptr ? std::atoi(env) : 20;
  return n > 0 ? n : 20;
}

// Per id: the states it may come back in.
struct Allowed {
  std::vector<std::optional<uint64_t>> states;  // last synced (or recovered) state, then later attempts
};

TEST(KillOps, EverySyncedOperationSurvivesSigkill) {
  testing::ScratchDir tmp;
  const fs::path dir = tmp.path() / "c";
  std::map<uint64_t, std::optional<uint64_t>> known;  // what the last check found
  for (uint64_t id = 0; id < kIds; ++id) known[id] = std::nullopt;
  std::mt19937_64 rng(2024);
  uint64_t first_version = 0;
  int saw_compact = 0;
  for (int round = 0; round < kills(); ++round) {
    SCOPED_TRACE("kill " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      child(dir, fds[1], rng(), first_version);
    }
    ::close(fds[1]);
    // Long enough for most children to get past their open.
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 150));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself, status " << status;
    std::string text;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);

    // Replay the reports: an op is synced when its own "D 1" or a later "S"
    // came; then its result and every later attempt on the id are allowed.
    std::map<uint64_t, Allowed> allowed;
    for (const auto& [id, state] : known) allowed[id].states = {state};
    std::vector<std::pair<uint64_t, std::optional<uint64_t>>> unsynced;  // since the last sync
    std::istringstream lines(text);
    std::string kind;
    while (lines >> kind) {
      if (kind == "A") {
        uint64_t id = 0, version = 0;
        lines >> id >> version;
        const std::optional<uint64_t> state =
            version == 0 ? std::nullopt : std::optional<uint64_t>(version);
        allowed[id].states.push_back(state);
        unsynced.push_back({id, state});
        if (version > first_version) first_version = version;
      } else if (kind == "D" || kind == "S") {
        int synced = 1;
        if (kind == "D") lines >> synced;
        if (kind == "S") ++saw_compact;
        if (synced == 1) {
          // Everything reported so far is durable: each id's last op is its floor.
          std::map<uint64_t, std::optional<uint64_t>> last;
          for (const auto& [id, state] : unsynced) last[id] = state;
          for (const auto& [id, state] : last) allowed[id].states = {state};
          unsynced.clear();
        }
      }
    }
    // The attempt cut short by the kill may have logged nothing: fine, as
    // it is not the floor of its id.

    auto opened = Collection::open_or_create(dir, testing::batch_config(kDim));
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    Collection& c = *opened.value();
    for (uint64_t id = 0; id < kIds; ++id) {
      std::optional<uint64_t> got;
      if (auto entry = c.get(id)) {
        auto v = entry->payload.data.find("v");
        ASSERT_TRUE(v != entry->payload.data.end()) << "id " << id;
        got = v->second.get<uint64_t>();
        ASSERT_TRUE(testing::same_bits(entry->vector, versioned(id, *got))) << "id " << id;
      }
      const auto& states = allowed[id].states;
      ASSERT_NE(std::find(states.begin(), states.end(), got), states.end())
          << "id " << id << " came back as " << (got ? std::to_string(*got) : "absent")
          << ", not its last synced state or a later one";
      known[id] = got;
    }
    ASSERT_EQ(c.len(), static_cast<size_t>(std::count_if(
                           known.begin(), known.end(), [](const auto& e) { return e.second.has_value(); })));
    opened = Error::io("closed");  // drop: buffers written out, as a process end would
    auto data = storage::testing::open_data_file(dir / kDataFileName);
    ASSERT_TRUE(data.ok());
    storage::DataScanEnd end;
    ASSERT_TRUE(data.value().for_each_active([](storage::DataRecord&) { return Status{}; }, &end).ok());
    ASSERT_FALSE(end.error.has_value()) << "data file stops at " << end.stop_offset;
    ASSERT_TRUE(storage::testing::read_wal(dir / kWalFileName, [](storage::WalEntry&) { return Status{}; }).ok());
  }
  RecordProperty("flushes_and_compactions", saw_compact);
}

}  // namespace
}  // namespace varnel
