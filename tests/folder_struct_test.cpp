// The folder-structure reader over our own cache hierarchy, against the cache path builders.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "CachePaths.h"
#include "InstallUtils/IFolderStruct.h"
#include "KqTestEnv.h"
#include "Vocabulary.h"
#include "nPatchDownload/CPatchInstallCommon.h"

namespace {

using namespace KQInstallCommonUtils;

FullVersion Media(int major, int trans, int rev, int cu = 0) {
  _SPVersion sp(major, 0, trans, rev);
  sp.SetRelease(11);
  sp.SetBuild(80);
  return FullVersion(sp, _UPVersion(cu));
}

std::map<std::string, std::string> Keys(const std::string& root, const FullVersion& v) {
  return {{"MEDIAROOT", root},
          {"VERSION", v.GetStr(FullVersion::kRelease)},
          {"BUILD", v.GetStr(FullVersion::kBuild)},
          {"SPMAJOR", v.GetStr(FullVersion::kSPMajor)},
          {"TRANSACTIONID", v.GetStr(FullVersion::kTransactionId)},
          {"REVISIONID", v.GetStr(FullVersion::kRevisionId)},
          {"CUNUMBER", v.GetStr(FullVersion::kUPNumber)}};
}

CacheHierarchy DefaultHierarchy() {
  CacheHierarchy h;
  EXPECT_EQ(0, XMLDecoder::unSerialize(h, IFolderStruct::GetDefaultLocalCacheStruct(1)));
  return h;
}

struct Reader {
  Reader(const std::map<std::string, std::string>& keys, const CacheHierarchy& h = DefaultHierarchy()) {
    code = CreateFolderStructReader(&object, nullptr, h, keys, FullVersion(), "/");
  }
  ~Reader() { DestroyFolderStructReader(object); }
  IFolderStruct* operator->() const { return object; }
  IFolderStruct* object = nullptr;
  unsigned int code = 0;
};

const FullVersion kZero = FullVersion(_SPVersion(0));

class FolderStructTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetOSTypesInfo();
    SetReleasesSupportedOnClient();
  }
  kqtest::ScopedConfig config;
};

TEST_F(FolderStructTest, RecutMediaResolvesToTheFoldersTheCacheReadersUse) {
  const FullVersion v = Media(20, 4711, 3, 2);
  Reader r(Keys("/c/", v));
  ASSERT_EQ(0u, r.code);
  const std::string sp = "/c" + GetCacheReleaseFolder(16) + "/" + v.GetSPVersion().getSPFolderNameStr();
  EXPECT_EQ("/c/KQMedia/11.0.0/SP20_4711_R3", sp);
  EXPECT_EQ(sp, r->GetPath(eKindFeatureReleaseMedia, "", kZero, 0));
  EXPECT_EQ("", r->GetPath(eKindOSFolder, "", kZero, 0));  // needs an operating system
  EXPECT_EQ(sp + "/Windows", r->GetPath(eKindPlatformRoot, "WinX64", kZero, 0));
  EXPECT_EQ(sp + "/Unix", r->GetPath(eKindPlatformRoot, "linux-x8664", kZero, 0));
  for (int osId : {1, 3, 16, 22}) {
    SCOPED_TRACE(osId);
    const std::string os = GetOSNameFromId(osId);
    // Where the file lists read a recut side's media: "<sp>/{Windows,Unix}/<payload>".
    const std::string osFolder =
        sp + (IsUnix(osId) ? "/Unix/" : "/Windows/") + GetBinaryPayloadNameForOS(osId);
    EXPECT_EQ(osFolder, r->GetPath(eKindOSFolder, os, kZero, 0));
    EXPECT_EQ(osFolder + "/LooseUpdates", r->GetPath(eKindFeatureReleaseRoot, os, kZero, 0));
    EXPECT_EQ(osFolder + "/LooseUpdates/Updates", r->GetPath(eKindHotfixRoot, os, kZero, 0));
  }
  EXPECT_EQ(sp + "/UpdatesInfo.xml", r->GetFilePath(eKindUpdatesInfoFile, "", kZero, 0));
  EXPECT_EQ(sp + "/Other.xml", r->GetFilePath(eKindUpdatesInfoFile, "Other.xml", kZero, 0));
  EXPECT_EQ("KQMedia/11.0.0/SP20_4711_R3/Windows",
            r->GetPath(eKindPlatformRoot, "WinX64", kZero, eRelativeToMediaRoot));
}

TEST_F(FolderStructTest, MediaThatIsNotRecutUsesTheReleaseFolders) {
  Reader r(Keys("/c", Media(20, 0, 0)));
  ASSERT_EQ(0u, r.code);
  std::map<int, std::string> oses;
  nPatchDownload::CPatchInstallCommon::GetAllSupportedOSesMap(oses);
  ASSERT_FALSE(oses.empty());
  for (const auto& os : oses) {
    if (os.first == 0 || os.first == 5) continue;
    SCOPED_TRACE(os.second);
    // The same folder the inventory reads without a reader.
    EXPECT_EQ("/c" + GetLooseUpdateFolder(16, os.first, false, false) + "/Updates",
              r->GetPath(eKindHotfixRoot, os.second, kZero, 0));
  }
  // A feature-release folder needs the recut stamps: never the release folder itself.
  EXPECT_EQ("/c/KQMedia/11.0.0/SP20_0_R0", r->GetPath(eKindFeatureReleaseMedia, "", kZero, 0));
  std::map<std::string, std::string> noMajor = Keys("/c", Media(20, 4711, 3));
  noMajor.erase("SPMAJOR");
  Reader partial(noMajor);
  ASSERT_EQ(0u, partial.code);
  EXPECT_EQ("", partial->GetPath(eKindFeatureReleaseMedia, "", kZero, 0));
  EXPECT_EQ("/c/KQMedia/11.0.0/Windows", partial->GetPath(eKindPlatformRoot, "WinX64", kZero, 0));
}

TEST_F(FolderStructTest, AVersionArgumentReplacesOnlyItsNonZeroFields) {
  Reader r(Keys("/c", Media(20, 4711, 3)));
  EXPECT_EQ("/c/KQMedia/11.0.0/SP21_5_R6",
            r->GetPath(eKindFeatureReleaseMedia, "", FullVersion(_SPVersion(21, 0, 5, 6)), 0));
  EXPECT_EQ("/c/KQMedia/11.0.0/SP21_4711_R3",
            r->GetPath(eKindFeatureReleaseMedia, "", FullVersion(_SPVersion(21)), 0));
}

TEST_F(FolderStructTest, UnsafeRootsNamesAndValuesAreRefused) {
  const FullVersion v = Media(20, 4711, 3);
  for (const std::string root : {"", "cache", "/c/../etc", "http://h/x"}) {
    Reader r(Keys(root, v));
    EXPECT_EQ(0x80000021u, r.code) << root;
    EXPECT_EQ(nullptr, r.object);
  }
  std::map<std::string, std::string> keys = Keys("/c", v);
  keys["SPMAJOR"] = "../x";
  EXPECT_EQ(0x80000008u, Reader(keys).code);
  EXPECT_EQ(0x80000008u, CreateFolderStructReader(nullptr, nullptr, DefaultHierarchy(), Keys("/c", v),
                                                  v, "/"));
  IFolderStruct* none = nullptr;
  EXPECT_EQ(0x80000008u, CreateFolderStructReader(&none, nullptr, DefaultHierarchy(), Keys("/c", v), v, ":"));
  EXPECT_EQ(0x80000021u, Reader(Keys("/c", v), CacheHierarchy()).code);

  Reader r(Keys("/c", v));
  for (const std::string os : {".", "..", "a/b", "a\\b"})
    EXPECT_EQ("", r->GetPath(eKindOSFolder, os, kZero, 0)) << os;
  EXPECT_EQ("", r->GetFilePath(eKindUpdatesInfoFile, "../x.xml", kZero, 0));
  EXPECT_EQ("", r->GetPath(99, "WinX64", kZero, 0));
}

TEST_F(FolderStructTest, ADownloadSourceHierarchyTakesAServerName) {
  const tCacheFolderSpec server[] = {{eKindPlatformRoot, "{MEDIAROOT}/KQMedia/{VERSION}.0.0/{PLATFORM}", ""},
                                     {eKindUpdatesInfoFile, "{MEDIAROOT}/KQUpdates/{VERSION}.0.0/{BUILD}", "UpdatesInfo.xml"}};
  const CacheHierarchy h = MakeCacheHierarchy(eRemoteHierarchy, server, 2);
  std::string xml;
  ASSERT_EQ(0, XMLEncoder::serialize(h, xml));
  CacheHierarchy decoded;
  ASSERT_EQ(0, XMLDecoder::unSerialize(decoded, xml));
  Reader r(Keys("ftp.example.net", Media(20, 1, 1)), decoded);
  ASSERT_EQ(0u, r.code);
  EXPECT_EQ("KQMedia/11.0.0/Unix", r->GetPath(eKindPlatformRoot, "linux-x8664", kZero, eRelativeToMediaRoot));
  EXPECT_EQ("ftp.example.net/KQUpdates/11.0.0/80/UpdatesInfo.xml",
            r->GetFilePath(eKindUpdatesInfoFile, "", kZero, 0));
  EXPECT_EQ("KQUpdates/11.0.0/80/UpdatesInfo.xml",
            r->GetFilePath(eKindUpdatesInfoFile, "", kZero, eRelativeToMediaRoot));
}

}  // namespace
