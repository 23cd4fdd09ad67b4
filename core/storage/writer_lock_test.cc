#include "storage/writer_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "storage_test_util.h"

namespace varnel::storage {
namespace {

using testing::TempDir;

Directory open_dir(const std::filesystem::path& p) {
  IoResult<Directory> d = Directory::open(p);
  EXPECT_TRUE(d.ok());
  return std::move(d).value();
}

// Runs `body` in a forked child, which exits with its result without
// running any destructor of the parent's objects; gives the child's pid.
template <typename Body>
pid_t fork_child(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  return pid;
}

bool exited_cleanly(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(WriterLock, TakingItCreatesNothingInTheDirectory) {
  TempDir tmp;
  Directory dir = open_dir(tmp.path());
  auto lock = WriterLock::acquire(dir);
  ASSERT_TRUE(lock.ok());
  EXPECT_TRUE(lock.value().owned_by_this_process());
  EXPECT_TRUE(dir.names().value().empty());
  // A second handle of this process, through another descriptor, joins it.
  auto again = WriterLock::acquire(open_dir(tmp.path()));
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value().holders(), 2u);
}

// A forked child owns no lock, and one that lives on does not keep the lock
// after the parent let it go.
TEST(WriterLock, ForkedChildNeverKeepsTheParentsLock) {
  TempDir tmp;
  int hold[2];
  ASSERT_EQ(::pipe(hold), 0);
  pid_t lingering = -1;
  {
    auto lock = WriterLock::acquire(open_dir(tmp.path()));
    ASSERT_TRUE(lock.ok());
    const WriterLock& held = lock.value();
    // Checks and leaves without touching anything.
    EXPECT_TRUE(exited_cleanly(fork_child([&] { return !held.owned_by_this_process(); })));
    // Stays alive, as a pool's worker would, until the parent says so.
    lingering = fork_child([&] {
      char c;
      ::close(hold[1]);
      return !held.owned_by_this_process() && ::read(hold[0], &c, 1) >= 0;
    });
    ASSERT_GT(lingering, 0);
    EXPECT_TRUE(held.owned_by_this_process());
    // While the parent holds it, another process is refused.
    EXPECT_TRUE(exited_cleanly(fork_child([&] {
      auto other = WriterLock::acquire(open_dir(tmp.path()));
      return !other.ok() && other.error().stage == LockFailure::Stage::kInUse;
    })));
  }
  // Released by the parent, with the forked worker still alive.
  EXPECT_TRUE(exited_cleanly(fork_child([&] {
    auto other = WriterLock::acquire(open_dir(tmp.path()));
    return other.ok() && other.value().owned_by_this_process();
  })));
  auto mine = WriterLock::acquire(open_dir(tmp.path()));
  EXPECT_TRUE(mine.ok());
  ::close(hold[1]);
  ::close(hold[0]);
  EXPECT_TRUE(exited_cleanly(lingering));
}

}  // namespace
}  // namespace varnel::storage
