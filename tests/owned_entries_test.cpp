// Entries held by their owners' locks, on real folders: an owner keeps only an entry it holds
// under its name, and removers take only entries nobody holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "KqTestEnv.h"
#include "PortableFiles/OwnedEntries.h"
#include "PortableFiles/ScopedFd.h"

namespace {

using kq::ScopedFd;

int OpenRead(const std::string& path) { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool EndsWithPart(const std::string& name) {
  return name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0;
}

TEST(OwnedEntries, AnOwnerKeepsOnlyAnEntryItHoldsUnderItsName) {
  kqtest::TempDir dir;
  ScopedFd folder(OpenRead(dir.path()));
  kqtest::WriteFile(dir / "a.part", "");

  // A remover met the fresh file first and holds it: the owner must take another name.
  ScopedFd owner(OpenRead(dir / "a.part")), remover(OpenRead(dir / "a.part"));
  ASSERT_EQ(0, flock(remover.get(), LOCK_EX | LOCK_NB));
  EXPECT_FALSE(kq::HoldAsOwner(folder.get(), "a.part", owner.get()));
  EXPECT_EQ(EWOULDBLOCK, errno);

  // The remover removed it and let go: the lock is free, but the name is no longer the file.
  ASSERT_EQ(0, unlink((dir / "a.part").c_str()));
  remover.reset();
  EXPECT_FALSE(kq::HoldAsOwner(folder.get(), "a.part", owner.get()));
  EXPECT_EQ(ENOENT, errno);

  // Held under its name, no remover takes it.
  kqtest::WriteFile(dir / "b.part", "live");
  ScopedFd live(OpenRead(dir / "b.part"));
  ASSERT_TRUE(kq::HoldAsOwner(folder.get(), "b.part", live.get()));
  kqtest::WriteFile(dir / "c.part", "dead");
  kqtest::WriteFile(dir / "d.txt", "other name");
  ASSERT_EQ(0, mkdir((dir / "e.part").c_str(), 0755));  // another kind
  ASSERT_EQ(0, symlink((dir / "d.txt").c_str(), (dir / "f.part").c_str()));
  EXPECT_TRUE(kq::RemoveUnownedEntries(folder.get(), dir.path(), kq::OwnedKind::kFile,
                                       EndsWithPart, nullptr));
  EXPECT_EQ((std::map<std::string, std::string>{{dir / "b.part", "file:live"},
                                                {dir / "d.txt", "file:other name"},
                                                {dir / "e.part", "dir"},
                                                {dir / "f.part", "link:" + (dir / "d.txt")}}),
            kqtest::TreeManifest(dir.path()));
}

TEST(OwnedEntries, AFolderIsHeldUntilItsOwnerRemovesItAndOnlyItsOwn) {
  kqtest::TempDir base, outside;
  ASSERT_EQ(0, mkdir((base / "shared").c_str(), 0755));
  kq::OwnedFolder first, second;
  ASSERT_TRUE(first.Make(base.path(), "shared", "J_", nullptr));
  ASSERT_TRUE(second.Make(base.path(), "shared", "J_", nullptr));
  EXPECT_NE(first.path(), second.path());
  kqtest::WriteFile(first.path() + "/sub/a.bin", "a");
  auto isJob = [](const std::string& name) { return name.compare(0, 2, "J_") == 0; };
  EXPECT_TRUE(second.RemoveUnownedSiblings(isJob, nullptr));
  EXPECT_EQ("a", kqtest::ReadFile(first.path() + "/sub/a.bin"));

  EXPECT_TRUE(first.Empty(nullptr));
  EXPECT_TRUE(Exists(first.path()));
  EXPECT_FALSE(Exists(first.path() + "/sub"));

  // A name that came to mean another folder is not the owner's to remove.
  const std::string path = second.path();
  ASSERT_EQ(0, rename(path.c_str(), (base / "moved").c_str()));
  ASSERT_EQ(0, mkdir(path.c_str(), 0755));
  EXPECT_TRUE(second.Remove(nullptr));
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(second.made());

  // A shared folder that is a link is refused.
  ASSERT_EQ(0, symlink(outside.path().c_str(), (base / "linked").c_str()));
  kq::OwnedFolder refused;
  EXPECT_FALSE(refused.Make(base.path(), "linked", "J_", nullptr));
  EXPECT_EQ(ELOOP, errno);
  EXPECT_TRUE(kqtest::TreeManifest(outside.path()).empty());
}

}  // namespace
