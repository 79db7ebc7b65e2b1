// The software-cache message family (message subsystem 23): every message the cache, the
// catalogues and the synchronisation exchange. Field names follow their use; fields whose use is
// not fixed are named by their index (Field5 and so on).
#ifndef KQ_PLATFORM_MESSAGES_UPDATEPATCHES_H_
#define KQ_PLATFORM_MESSAGES_UPDATEPATCHES_H_

#pragma GCC visibility push(default)

#include "Messages/MessageClass.h"
#include "Messages/MessageXml.h"

// Nested classes reached only through a parent field, by id: 7, 183 and 71 configuration-file
// groups (1/1 list of File); 104 (1/1 list of ProcInfo); 59 (1/1 list of PkgDetails); 87 Unix
// root files (1/1 and 2/2 lists of StringVal); 99, 55, 212.
// Elements of lists: MediaSet of CacheUpdateInfo's list (a media version, one of its
// operating systems and one of its update packs); AvailableCUs of
// AvailableCumulativeUpdatePacks' list (a media version and its update packs); the operating
// system, sub-operating-system and feature-release sections of KQApplianceOSPatches; the
// operating-system entries of UnixKQApplianceOSPatches (KQApplianceUnixOSInfo).
// AkamaiDownloadReq is a remote cache's content-delivery download request; its AkamaiDownloadInfo
// (4/7) lists per release what the download brings (3/6) and says how it was asked for (tag 7).
// DVDInfo is the download center's release-information file ("DVDInfo.xml"), one
// DVDInfoRelease per feature release it offers (see PatchUpdateDVDInfo in HubnodeSchema.sql).
#define KQ_UPDATEPATCHES_CLASSES(C, F, O)                                                   \
  C(File, 83, F(Name, 1, 1) F(Checksum, 2, 5))                                             \
  C(BinaryV11, 25, F(Checksum, 1, 1) F(Field2, 2, 5) F(FileName, 5, 14)                    \
                       F(RelativePath, 7, 19))                                             \
  C(FilesForRel, 48, F(ReleaseId, 1, 1) O(OSList, 2, 2, 26) O(SPVersion, 3, 3, 152)        \
                         F(SPFolderName, 4, 4) F(Field5, 5, 8))                            \
  C(FilesForOS, 26, F(OSId, 1, 1) F(PackageIds, 2, 2) F(BinarySetIds, 3, 3)                \
                        O(SPFiles, 4, 4, 83) O(LooseUpdateFiles, 5, 5, 83)                 \
                        O(InstallerFiles, 6, 6, 83) O(MediaFiles, 7, 7, 25))               \
  C(SPVersion, 152, F(Major, 1, 1) F(Field2, 2, 2) F(RevisionId, 3, 3)                     \
                        F(TransactionId, 4, 4) F(Field5, 5, 5) F(Field6, 6, 6)             \
                        F(Field7, 7, 7))                                                   \
  C(CacheOpReq, 1001, F(ErrorText, 3, 3) F(OperationCode, 4, 7)                            \
                          O(RemClientInfo, 5, 8, 74) O(Releases, 7, 10, 48)                \
                          F(CompleteExtraSteps, 8, 11) F(AdditionalSyncWanted, 10, 13)     \
                          O(AdditionalSyncFiles, 11, 14, 160)                              \
                          O(ApplianceFiles, 12, 15, 177) F(ObsoleteSPFolders, 14, 17))     \
  C(RemClientInfo, 74, F(Field1, 1, 1) F(CachePath, 2, 5) F(Field3, 3, 9) F(OSId, 4, 10)  \
                           F(Field5, 5, 11) F(Field6, 6, 12) F(AdditionalSyncPath, 9, 18)  \
                           O(Version, 15, 36, 181))                                        \
  C(AdditionalSyncFilesList, 160, O(Files, 1, 1, 83))                                      \
  C(ApplianceFilesInfo, 177, O(Files, 1, 1, 83))                                           \
  C(PackagesAtCache, 15, O(OSList, 1, 1, 108))                                             \
  C(PackagesForOS, 108, O(Packages, 1, 1, 50) F(OSId, 2, 2))                               \
  C(PackageInfo, 50, F(FolderPath, 7, 10) F(Timestamp, 8, 14))                             \
  C(PackageDesc, 39, F(PackageId, 2, 2))                                                   \
  C(SingleUpdate, 82, F(Name, 1, 1) O(ConfigFiles, 2, 5, 7) O(BinarySets, 3, 6, 1002))     \
  C(BinarySet, 1002, F(BinarySetId, 1, 1) F(Field2, 2, 2) O(Packages, 3, 6, 1004))         \
  C(Binary, 1003, F(Checksum, 2, 5) F(Path, 3, 9) F(Type, 4, 13))                          \
  C(Package, 1004, F(PackageId, 1, 1) O(Binaries, 2, 2, 1003))                             \
  C(CumulativeUpdatePack, 182, O(ConfigFiles, 2, 5, 183) O(Updates, 3, 6, 82))             \
  C(ServicePack, 28, O(ConfigFiles, 2, 5, 71) O(Updates, 3, 6, 82))                        \
  C(InstallFiles, 43, O(Files, 1, 1, 83))                                                  \
  C(AvailableCumulativeUpdatePacks, 185, O(Packs, 1, 1, 1019))                             \
  C(UpdatePack, 180, F(Number, 1, 1) F(Field2, 2, 2) F(Field5, 5, 5))                      \
  C(FullVersion, 181, O(SPVersion, 1, 1, 152) O(UpdatePack, 2, 2, 180))                    \
  C(InstalledVerOs, 206, O(List, 1, 1, 1005))                                              \
  C(InstalledVersions, 1005, O(Version, 1, 1, 181) O(List, 2, 2, 1006))                    \
  C(OSInfo, 1006, F(Field1, 1, 1))                                                         \
  C(HotfixList, 45, O(Entries, 1, 1, 1007))                                                \
  C(HotfixListEntry, 1007, F(Field1, 1, 1) F(Field5, 2, 5) F(Field4, 4, 10)                \
                               F(Field6, 6, 15) F(Field7, 7, 16))                          \
  C(CacheUpdateInfo, 166, O(List, 2, 2, 1020))                                             \
  C(MediaSet, 1020, O(SPVersion, 1, 1, 152) O(OS, 2, 2, 170)                               \
                        O(UpdatePack, 7, 7, 180))                                          \
  C(CacheMediaOS, 170, F(OSId, 1, 1))                                                      \
  C(AvailableCUs, 1019, O(SPVersion, 1, 1, 152) O(UpdatePacks, 2, 2, 180))                 \
  C(KQApplianceOSPatches, 175, O(OSSections, 3, 6, 1021))                                  \
  C(KQApplianceOSSection, 1021, F(Name, 1, 1) O(SubOSSections, 2, 5, 1022))                \
  C(KQApplianceSubOS, 1022, F(Name, 1, 1) O(FeatureReleases, 5, 8, 1023))                  \
  C(KQApplianceFRSection, 1023, O(PatchFiles, 3, 6, 25))                                   \
  C(UnixKQApplianceOSPatches, 187, O(OSList, 2, 5, 1009))                                  \
  C(KQApplianceOSInfoList, 191, O(List, 1, 1, 1008))                                       \
  C(KQApplianceOSInfo, 1008, F(Name, 1, 1) F(Type, 2, 5))                                  \
  C(KQApplianceUnixOSInfo, 1009, F(Name, 1, 1) O(Binaries, 3, 9, 25))                      \
  C(PackageDetails, 46, O(ProcInfos, 2, 5, 104) O(Field3, 3, 6, 99)                        \
                            O(PkgDetailsList, 4, 7, 59) O(Field5, 5, 8, 55)                \
                            O(UnixRootFiles, 7, 10, 87))                                   \
  C(BinaryInfo, 47, )                                                                      \
  C(PkgDetails, 1010, F(Field4, 4, 4) F(Field6, 6, 6) F(Field7, 7, 7) F(List12, 12, 12)    \
                          F(List13, 13, 13))                                               \
  C(ProcInfo, 1011, F(Field1, 1, 1) F(Field9, 3, 9) F(List4, 4, 10))                       \
  C(BSInfoV11, 1012, F(Field1, 1, 1) F(Field9, 3, 9) F(Field4, 4, 10) F(List5, 5, 11))     \
  C(StringVal, 1013, F(Field1, 1, 1) F(Field2, 2, 5))                                      \
  C(ThirdPartyPkg, 1014, F(PackageId, 1, 1) O(Ids, 8, 17, 1015))                           \
  C(ThirdPartyPkgID, 1015, F(Id, 1, 1))                                                    \
  C(AkamaiDownloadResp, 1016, F(Counter1, 1, 1) F(Counter2, 2, 2) F(FinalStatus, 3, 3)     \
                                  O(Object4, 4, 4, 212) O(Object5, 5, 5, 0)                   \
                                  O(Object6, 6, 6, 0))                                        \
  C(AkamaiDownloadStatusResp, 1017, O(List, 1, 1, 1016))                                   \
  C(AkamaiDownloadReq, 1024, O(Download, 4, 7, 210) O(RemClientInfo, 5, 8, 74)             \
                                 O(ApplianceOSList, 9, 12, 191))                           \
  C(AkamaiDownloadInfo, 210, O(Releases, 3, 6, 48) F(DownloadMode, 4, 7))                  \
  C(CacheSyncRsp, 1018, O(ValidSides, 8, 11, 48) O(ApplianceOSList, 9, 12, 191))          \
  C(DVDInfo, 1100, O(Releases, 1, 1, 1101))                                                \
  C(DVDInfoRelease, 1101, F(ReleaseStr, 1, 1) F(BuildIdString, 2, 2) F(SPName, 3, 3)        \
                              F(DVDName, 4, 4) F(FriendlyName, 5, 5)                       \
                              F(TransactionId, 6, 6) F(RevisionId, 7, 7)                   \
                              F(Timestamp, 8, 8) F(ShowInGUI, 9, 9) F(PrivateBuild, 10, 10))

namespace UpdatePatches {

constexpr int kSubsystemId = 23;

#define KQ_UPDATEPATCHES_CLASS(Name, Id, ...) KQ_MSG_DECLARE_CLASS(23, Name, Id, __VA_ARGS__)
KQ_UPDATEPATCHES_CLASSES(KQ_UPDATEPATCHES_CLASS, KQ_MSG_FIELD_CONSTANT, KQ_MSG_OBJECT_CONSTANT)
#undef KQ_UPDATEPATCHES_CLASS

// Records the family's classes with the message registry; the readers call it before they
// decode (the coder itself needs no registration).
void RegisterSubsystem();

}  // namespace UpdatePatches

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MESSAGES_UPDATEPATCHES_H_
