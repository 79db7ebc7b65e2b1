// The fields of the package and binary catalogues ("WinPackages.xml", "pkg.xml",
// "BinaryInfo.xml") that the catalogue code reads, as (index, tag) pairs of the software-cache
// message family. Object fields carry the message id of the nested message they hold.
//
// The catalogue code reads through these constants only, so the one place that says where a
// value sits in a catalogue is this file. A missing integer field reads as 0.
#ifndef KQ_COMMON_KQPATCHESCOMMON_PACKAGECATALOGUEFIELDS_H_
#define KQ_COMMON_KQPATCHESCOMMON_PACKAGECATALOGUEFIELDS_H_

#pragma GCC visibility push(default)

#include "Messages/CNMessageBase.h"

namespace kqcat {

constexpr int kSubsystem = 23;

// Message ids of the catalogues themselves and of the nested groups they hold.
constexpr int kPackageDetailsId = 46;
constexpr int kBinaryInfoId = 47;
constexpr int kProcInfoGroupId = 104;   // PackageDetails 2/5: 1/1 list of ProcInfo
constexpr int kPkgInfoGroupId = 99;     // PackageDetails 3/6: 1/1 list of PkgInfo
constexpr int kPkgDetailsGroupId = 59;  // PackageDetails 4/7: 1/1 list of PkgDetails
constexpr int kThirdPartyGroupId = 55;  // PackageDetails 5/8: 1/1 list of ThirdPartyPkg
constexpr int kRootFilesGroupId = 87;   // PackageDetails 7/10: 1/1 and 2/2 lists of StringVal
constexpr int kBinaryV11Id = 25;

// Message ids of the list elements. Readers never look at them; the catalogue writers of the
// tests use them.
constexpr int kPkgDetailsId = 1010;
constexpr int kProcInfoId = 1011;
constexpr int kBSInfoV11Id = 1012;
constexpr int kStringValId = 1013;
constexpr int kThirdPartyPkgId = 1014;
constexpr int kThirdPartyPkgIDId = 1015;
constexpr int kPkgInfoId = 1101;
constexpr int kPackageV11Id = 1102;

// PackageDetails.
constexpr KqFieldId kPdProcInfos{2, 5, kSubsystem, kProcInfoGroupId};
constexpr KqFieldId kPdPkgInfos{3, 6, kSubsystem, kPkgInfoGroupId};
constexpr KqFieldId kPdPkgDetails{4, 7, kSubsystem, kPkgDetailsGroupId};
constexpr KqFieldId kPdThirdParty{5, 8, kSubsystem, kThirdPartyGroupId};
constexpr KqFieldId kPdRootFiles{7, 10, kSubsystem, kRootFilesGroupId};
// The list inside each group (for the root files: the first list; kRootFilesList2 the second).
constexpr KqFieldId kGroupList{1, 1, kSubsystem, 0};
constexpr KqFieldId kRootFilesList2{2, 2, kSubsystem, 0};

// ProcInfo: one section of the Unix catalogue (a media folder).
constexpr KqFieldId kProcName{1, 1, 0, 0};
constexpr KqFieldId kProcBinarySetId{3, 9, 0, 0};  // read by tag
constexpr KqFieldId kProcEntries{4, 10, kSubsystem, kBSInfoV11Id};

// BSInfoV11: in a ProcInfo an operating-system name with its binary set; in BinaryInfo a binary
// set with its packages.
constexpr KqFieldId kBsName{1, 1, 0, 0};
constexpr KqFieldId kBsProcBinarySetId{3, 9, 0, 0};  // in a ProcInfo, read by tag
constexpr KqFieldId kBsBinarySetId{4, 10, 0, 0};     // in BinaryInfo
constexpr KqFieldId kBsPackages{5, 11, kSubsystem, kPackageV11Id};
// BinaryInfo: its list of BSInfoV11.
constexpr KqFieldId kBiBinarySets{1, 1, kSubsystem, kBSInfoV11Id};

// PkgInfo: a package name and its SkipDownload flag.
constexpr KqFieldId kPiName{1, 1, 0, 0};
constexpr KqFieldId kPiPackageId{2, 10, 0, 0};  // read by tag
constexpr KqFieldId kPiSkipDownload{5, 11, 0, 0};

// PkgDetails: one package in one binary set.
constexpr KqFieldId kPkdReboot{4, 4, 0, 0};
constexpr KqFieldId kPkdBinarySetId{6, 6, 0, 0};
constexpr KqFieldId kPkdPackageId{7, 7, 0, 0};
constexpr KqFieldId kPkdDependencies{12, 12, kSubsystem, kPackageV11Id};
constexpr KqFieldId kPkdThirdPartyDeps{13, 13, kSubsystem, kThirdPartyPkgIDId};

// PackageV11: a package id (a dependency, or a package of a binary set with its files).
constexpr KqFieldId kPvPackageId{1, 1, 0, 0};
constexpr KqFieldId kPvFiles{3, 6, kSubsystem, kBinaryV11Id};

// ThirdPartyPkg and ThirdPartyPkgID.
constexpr KqFieldId kTpPackageId{1, 1, 0, 0};
constexpr KqFieldId kTpDependencies{8, 17, kSubsystem, kThirdPartyPkgIDId};
constexpr KqFieldId kTpidPackageId{1, 1, 0, 0};

// StringVal: a root file of the Unix media.
constexpr KqFieldId kSvName{1, 1, 0, 0};
constexpr KqFieldId kSvChecksum{2, 5, 0, 0};

// BinaryV11: one media file.
constexpr KqFieldId kBvChecksum{1, 1, 0, 0};
constexpr KqFieldId kBvFileName{5, 14, 0, 0};
constexpr KqFieldId kBvRelativePath{7, 19, 0, 0};

// The list of an object-list field, or null when the message does not carry it.
inline const std::vector<CNMessageBase>* ListOf(const CNMessageBase& m, const KqFieldId& f) {
  if (!m.isSet(f.index)) return nullptr;
  return m.getlistobject(f.index, f.tag);
}
// The list held by a group field (PackageDetails 2/5, 3/6, ...), or null when either is absent.
inline const std::vector<CNMessageBase>* GroupList(const CNMessageBase& m, const KqFieldId& group,
                                                   const KqFieldId& list = kGroupList) {
  if (!m.isSet(group.index)) return nullptr;
  const CNMessageBase* g = m.getObjectAccessor(group.index, group.tag);
  if (!g || !g->isSet(list.index)) return nullptr;
  return g->getlistobject(list.index, list.tag);
}
// An integer field read by its tag; 0 when missing.
inline long long IntOf(const CNMessageBase& m, const KqFieldId& f) { return m.getint64(f.tag); }

}  // namespace kqcat

#pragma GCC visibility pop

#endif  // KQ_COMMON_KQPATCHESCOMMON_PACKAGECATALOGUEFIELDS_H_
