// One writer process per collection, with real processes (fork): a second
// process is refused while the first holds the collection, and changes
// nothing on disk; it opens once the first has exited or was killed; two
// processes racing to create one new collection give one success and one
// clean refusal; within one process every open shares the lock, which goes
// with the last of them.
//
// A forked child shares the parent's open file descriptions, and so any lock
// the parent holds: every child here is forked while the parent holds none.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "collection.h"
#include "storage/writer_lock.h"
#include "storage_test_util.h"

namespace varnel {
namespace {

namespace fs = std::filesystem;
using storage::testing::TempDir;

CollectionConfig config() {
  CollectionConfig c;
  c.dimension = 2;
  return c;
}

// A forked child that opens `dir`, writes one byte to the parent ('o' opened,
// 'r' refused with the in-use text, 'x' anything else), then holds what it
// opened until the parent closes its end of the second pipe.
class Child {
 public:
  Child(const fs::path& dir, bool insert = false) {
    int up[2], down[2];
    EXPECT_EQ(::pipe(up), 0);
    EXPECT_EQ(::pipe(down), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::alarm(60);  // a child left waiting by a failed test ends anyway
      // Only its own two pipe ends: an end of another child's pipe kept
      // open here would stop that child from seeing its parent let go.
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != up[1] && fd != down[0]) ::close(fd);
      }
      char said = 'x';
      std::shared_ptr<Collection> c;
      {
        auto opened = Collection::open_or_create(dir, config());
        if (opened.ok()) {
          c = std::move(opened.value());
          said = 'o';
          if (insert && !c->insert(5, std::vector<float>{1, 2}, Payload{}).ok()) said = 'x';
        } else if (opened.error().message().rfind(
                       "collection error: the collection is in use by another process", 0) == 0) {
          said = 'r';
        }
      }
      if (::write(up[1], &said, 1) != 1) ::_exit(3);
      char ignored;
      (void)::read(down[0], &ignored, 1);  // the parent closed its end
      c.reset();
      ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    from_ = up[0];
    to_ = down[1];
  }
  ~Child() {
    if (pid_ > 0) {
      release();
      ::waitpid(pid_, nullptr, 0);
    }
    if (from_ >= 0) ::close(from_);
  }

  char said() {
    char c = '?';
    if (::read(from_, &c, 1) != 1) return '?';
    return c;
  }
  void release() {
    if (to_ >= 0) ::close(to_);
    to_ = -1;
  }
  void kill_and_wait() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void wait() {
    release();
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int from_ = -1;
  int to_ = -1;
};

std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    files[entry.path().filename().string()] = storage::testing::read_bytes(entry.path());
  }
  return files;
}

TEST(OneWriter, SecondProcessIsRefusedNamingTheHolderAndChangesNothing) {
  TempDir tmp;
  const fs::path dir = tmp / "c";
  Child holder(dir, /*insert=*/true);
  ASSERT_EQ(holder.said(), 'o');
  // What an open that went on would change: a torn last frame it would cut
  // away, a missing meta.json it would write.
  {
    std::ofstream log(dir / kWalFileName, std::ios::binary | std::ios::app);
    log.write("\x01\x02\x03", 3);
  }
  fs::remove(dir / kMetaFileName);
  const auto before = snapshot(dir);
  auto refused = Collection::open_or_create(dir, config());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(),
            "collection error: the collection is in use by another process (pid " +
                std::to_string(holder.pid()) + ")");
  EXPECT_EQ(snapshot(dir), before);
}

TEST(OneWriter, OpensOnceTheHolderExitedOrWasKilled) {
  for (bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "killed" : "exited");
    TempDir tmp;
    const fs::path dir = tmp / "c";
    Child holder(dir);
    ASSERT_EQ(holder.said(), 'o');
    EXPECT_FALSE(Collection::open_or_create(dir, config()).ok());
    if (killed) {
      holder.kill_and_wait();
    } else {
      holder.wait();
    }
    EXPECT_TRUE(Collection::open_or_create(dir, config()).ok());
  }
}

TEST(OneWriter, RacingCreatorsGiveOneSuccessAndOneRefusal) {
  for (int trial = 0; trial < 20; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    TempDir tmp;
    const fs::path dir = tmp / "new";
    Child a(dir);
    Child b(dir);
    std::string both{a.said(), b.said()};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(both, "or");
    a.wait();
    b.wait();
    auto reopened = Collection::open_or_create(dir, config());
    ASSERT_TRUE(reopened.ok()) << reopened.error().message();
    EXPECT_EQ(snapshot(dir).size(), 3u);  // meta.json, the log, the data file
  }
}

// Opens of one directory in one process give one shared collection, which
// holds the lock until its last handle is dropped.
TEST(OneWriter, OpensInOneProcessShareOneCollectionUntilTheLastIsDropped) {
  TempDir tmp;
  const fs::path dir = tmp / "c";
  {
    auto a = Collection::open_or_create(dir, config());
    auto b = Collection::open_or_create(dir, config());
    ASSERT_TRUE(a.ok());
    ASSERT_TRUE(b.ok()) << b.error().message();
    EXPECT_EQ(a.value().get(), b.value().get());
    auto lock = storage::WriterLock::acquire(storage::Directory::open(dir).value());
    ASSERT_TRUE(lock.ok());
    EXPECT_EQ(lock.value().holders(), 2u);  // the collection's and this one
    a.value().reset();
    EXPECT_EQ(lock.value().holders(), 2u);  // b keeps it open
    EXPECT_TRUE(b.value()->insert(1, std::vector<float>(config().dimension, 1.0f), {}).ok());
    b.value().reset();
    EXPECT_EQ(lock.value().holders(), 1u);
  }
  // Every holder is gone: a child may open it.
  Child child(dir);
  EXPECT_EQ(child.said(), 'o');
}

}  // namespace
}  // namespace varnel
