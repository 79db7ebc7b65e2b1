// Version records: every text form parses back, the comparison kinds, and refusal of
// malformed and overflowing texts without touching the target.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "Versions/FullVersion.h"

namespace {

// Release 11, build 80, SP20, transaction 4711, revision 3, update pack 2 with transaction 5120:
// the version the examples in the header describe.
FullVersion Example() {
  FullVersion v(_SPVersion("SP20", "CU-name", 80, 4711, 3), _UPVersion(2, 5120, "Pack 2"));
  v.Set(FullVersion::kRelease, 11);
  return v;
}

FullVersion Make(int rel, int build, int major, int minor, int trans, int rev, int up,
                 int upTrans) {
  FullVersion v(_SPVersion(major, minor, trans, rev), _UPVersion(up, upTrans, ""));
  v.Set(FullVersion::kRelease, rel);
  v.Set(FullVersion::kBuild, build);
  return v;
}

// Versions at the edges of what the forms must carry.
std::vector<FullVersion> Samples() {
  return {
      FullVersion(),
      Example(),
      Make(11, 80, 12, 'a', 1, 2, 0, 0),
      Make(11, 80, 12, 'Z', 0, 0, 7, 0),
      Make(9, 84, -1, 0, 0, 0, 0, 0),
      Make(INT_MAX, INT_MIN, INT_MAX, 'b', INT_MIN, INT_MAX, INT_MIN, INT_MAX),
      Make(INT_MIN, INT_MAX, INT_MIN, 0, INT_MAX, INT_MIN, INT_MAX, INT_MIN),
  };
}

const int kAllFormats[] = {1, 2, 3, 4, 5, 6, 7, 8};

// The numeric fields each form carries.
std::vector<int> CarriedFields(int format) {
  using F = FullVersion;
  switch (format) {
    case 1: return {F::kRelease, F::kSPMajor, F::kSPMinor};
    case 2: return {F::kSPMajor, F::kSPMinor};
    case 3: return {F::kSPMajor, F::kSPMinor, F::kTransactionId, F::kRevisionId};
    case 4: return {F::kRelease, F::kBuild, F::kSPMajor, F::kSPMinor, F::kTransactionId,
                    F::kRevisionId, F::kUPNumber};
    case 5: return {F::kRelease, F::kBuild, F::kSPMajor, F::kSPMinor, F::kTransactionId,
                    F::kRevisionId};
    case 6: return {F::kSPMajor, F::kSPMinor, F::kTransactionId, F::kRevisionId, F::kUPNumber,
                    F::kUPTransactionId};
    case 7: return {F::kUPNumber, F::kUPTransactionId};
    case 8: return {F::kSPMajor, F::kSPMinor, F::kTransactionId};
  }
  return {};
}

const int kNumericFields[] = {0, 1, 2, 3, 5, 6, 8, 9};

// ---------------------------------------------------------------------------------------------

TEST(SPVersion, NamesParseAndPrintBack) {
  struct Case {
    const char* name;
    int major;
    int minor;
    const char* bare;
    const char* minorText;
  } cases[] = {
      {"SP20", 20, 0, "20", ""},         {"SP12a", 12, 'a', "12a", "a"},
      {"SP12A", 12, 'A', "12A", "A"},    {"SP2147483647", INT_MAX, 0, "2147483647", ""},
      // Written forms the numbers alone would not print back.
      {"SP01", 1, 0, "01", ""},          {"SP00", 0, 0, "00", ""},
      {"SPa", 0, 'a', "a", "a"},         {"SP5ab", 5, 'a', "5ab", "ab"},
      {"SP-1", 0, '-', "-1", "-1"},      {"SP12-beta", 12, '-', "12-beta", "-beta"},
      {"SP7 x", 7, ' ', "7 x", " x"},    {"SP3\xe9", 3, 0xe9, "3\xe9", "\xe9"},
      {"SP0000000002147483647", INT_MAX, 0, "0000000002147483647", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    _SPVersion sp(c.name, "", 0, 0, 0);
    EXPECT_EQ(sp.GetMajor(), c.major);
    EXPECT_EQ(sp.GetMinor(), c.minor);
    EXPECT_EQ(sp.GetMinorStr(), c.minorText);
    EXPECT_EQ(sp.ToStr(false), c.bare);
    EXPECT_EQ(sp.ToStr(true), c.name);
    EXPECT_EQ(sp.GetSPName(), c.name);
    // The cache inventory message carries ToStr(false) and rebuilds from "SP" + text.
    const _SPVersion back("SP" + sp.ToStr(false), "", 0, 0, 0);
    EXPECT_EQ(back, sp);
    EXPECT_EQ(back.ToStr(true), c.name);
  }
  EXPECT_LE(_SPVersion(INT_MIN, 'a').ToStr(false).size(), 13u);
  // Setting a number drops the written form.
  _SPVersion written("SP01", "", 0, 0, 0);
  written.SetMajor(2);
  EXPECT_EQ(written.ToStr(true), "SP2");
  _SPVersion longMinor("SP5ab", "", 0, 0, 0);
  ASSERT_TRUE(longMinor.SetMinor('c'));
  EXPECT_EQ(longMinor.ToStr(true), "SP5c");
  // Taking the number of another record takes its written form with it; the rest stays.
  _SPVersion target(9, 'z', 4711, 3);
  target.SetSPNumber(_SPVersion("SP5ab", "", 0, 0, 0));
  EXPECT_EQ(target.ToStr(true), "SP5ab");
  EXPECT_EQ(target.GetTransId(), 4711);
  EXPECT_EQ(target.GetRevId(), 3);
}

TEST(SPVersion, NameConstructorKeepsItsOtherArguments) {
  _SPVersion sp(" SP20\r\n", "CU7", 80, 4711, 3);  // a version-file value keeps its CR
  EXPECT_EQ(sp.GetMajor(), 20);
  EXPECT_EQ(sp.GetBuild(), 80);
  EXPECT_EQ(sp.GetTransId(), 4711);
  EXPECT_EQ(sp.GetRevId(), 3);
  EXPECT_EQ(sp.GetCUName(), "CU7");
  EXPECT_EQ(sp.GetRelease(), 0);
}

TEST(SPVersion, MalformedNamesAreRefusedAndLeaveTheTargetAlone) {
  const std::string bad[] = {"",       "S",      "SP",          "sp12",     "XP12",   "SP0",
                             "SP1/..", "SP1a\\b", "SP2147483648", "SP99999999999999999999",
                             "SP" + std::string(33, '1'), "SP1" + std::string(33, 'b'),
                             std::string("SP12\0x", 6)};
  for (const std::string& name : bad) {
    SCOPED_TRACE(name);
    _SPVersion target(7, 'b', 5, 6);
    EXPECT_FALSE(_SPVersion::ParseSPName(name, &target));
    EXPECT_EQ(target, _SPVersion(7, 'b', 5, 6));
    EXPECT_FALSE(target.SetSPName(name));
    EXPECT_EQ(target, _SPVersion(7, 'b', 5, 6));
    EXPECT_EQ(target.ToStr(true), "SP7b");
    // The name constructor gives "no feature release" rather than a half-read number.
    _SPVersion built(name, "", 0, 0, 0);
    EXPECT_EQ(built.GetMajor(), 0);
    EXPECT_EQ(built.GetMinor(), 0);
  }
}

TEST(SPVersion, FolderNamesRoundTrip) {
  _SPVersion sp(20, 0, 4711, 3);
  EXPECT_EQ(sp.getSPFolderNameStr(), "SP20_4711_R3");
  EXPECT_EQ(sp.getMajorStr(), "20");
  _SPVersion back;
  ASSERT_TRUE(_SPVersion::ParseSPFolderName("SP20_4711_R3", &back));
  EXPECT_EQ(back, sp);
  const _SPVersion edge(INT_MAX, 'q', INT_MAX, INT_MIN);
  ASSERT_TRUE(_SPVersion::ParseSPFolderName(edge.getSPFolderNameStr(), &back));
  EXPECT_EQ(back, edge);

  const char* bad[] = {"SP20_4711", "SP20_4711_3", "SP20_4711_R", "SP20__R3", "SP20_04711_R3",
                       "SP20_4711_R3_", "SP20_4711_r3", "SP20_4294967296_R3", "SP20_4711_R3 "};
  for (const char* name : bad) {
    SCOPED_TRACE(name);
    _SPVersion target(1, 0, 2, 3);
    EXPECT_FALSE(_SPVersion::ParseSPFolderName(name, &target));
    EXPECT_EQ(target, _SPVersion(1, 0, 2, 3));
  }
}

TEST(SPVersion, OrderingIsNumericAndIgnoresTheCumulativeUpdateName) {
  // The whole minor part orders, bytewise; how the major was written does not.
  EXPECT_LT(_SPVersion("SP5a", "", 0, 0, 0), _SPVersion("SP5ab", "", 0, 0, 0));
  EXPECT_LT(_SPVersion("SP5ab", "", 0, 0, 0), _SPVersion("SP5b", "", 0, 0, 0));
  EXPECT_LT(_SPVersion("SP5ab", "", 0, 0, 0), _SPVersion(5, 'b'));
  EXPECT_GT(_SPVersion("SP5ab", "", 0, 0, 0), _SPVersion(5, 'a'));
  EXPECT_LT(_SPVersion("SP5z", "", 0, 0, 0), _SPVersion("SP5\xe9", "", 0, 0, 0));
  EXPECT_EQ(_SPVersion("SP01", "", 0, 0, 0), _SPVersion(1));
  EXPECT_EQ(_SPVersion("SP00", "", 0, 0, 0), _SPVersion());
  EXPECT_GT(_SPVersion("SPa", "", 0, 0, 0), _SPVersion());
  EXPECT_LT(_SPVersion("SPa", "", 0, 0, 0), _SPVersion(1));
  // Folder names in listing order are not version order: SP9 < SP10.
  EXPECT_LT(_SPVersion("SP9", "", 0, 0, 0), _SPVersion("SP10", "", 0, 0, 0));
  EXPECT_LT(_SPVersion("SP12", "", 0, 0, 0), _SPVersion("SP12a", "", 0, 0, 0));
  EXPECT_LT(_SPVersion("SP12a", "", 0, 0, 0), _SPVersion("SP12b", "", 0, 0, 0));
  EXPECT_GT(_SPVersion("SP1", "", 0, 0, 0), _SPVersion());
  EXPECT_LT(_SPVersion(-1), _SPVersion(0));
  EXPECT_LT(_SPVersion(20, 0, 4711, 3), _SPVersion(20, 0, 4711, 4));
  EXPECT_LT(_SPVersion(20, 0, 4711, 9), _SPVersion(20, 0, 4712, 0));
  EXPECT_LT(_SPVersion(INT_MIN), _SPVersion(INT_MAX));
  EXPECT_EQ(_SPVersion("SP20", "A", 0, 0, 0), _SPVersion("SP20", "B", 0, 0, 0));
  _SPVersion withRelease(20);
  withRelease.SetRelease(11);
  EXPECT_GT(withRelease, _SPVersion(21));  // release comes before the service pack
  EXPECT_FALSE(_SPVersion(3) < _SPVersion(3));
  EXPECT_TRUE(_SPVersion(3) <= _SPVersion(3));
  EXPECT_TRUE(_SPVersion(3) != _SPVersion(4));
}

TEST(SPVersion, MinorIsOneByteThatMayStartAMinorPart) {
  _SPVersion sp(5, 'c');
  EXPECT_FALSE(sp.SetMinor('1'));
  EXPECT_FALSE(sp.SetMinor('/'));
  EXPECT_FALSE(sp.SetMinor('\\'));
  EXPECT_FALSE(sp.SetMinor(-1));
  EXPECT_FALSE(sp.SetMinor(0x141));  // 'A' + 0x100 must not pass as a byte
  EXPECT_EQ(sp.GetMinor(), 'c');
  EXPECT_TRUE(sp.SetMinor('-'));
  EXPECT_EQ(sp.ToStr(true), "SP5-");
  EXPECT_TRUE(sp.SetMinor(0));
  EXPECT_EQ(sp.ToStr(true), "SP5");
  EXPECT_EQ(_SPVersion(5, '/').GetMinor(), 0);  // never a path separator in a folder name
}

TEST(SPVersion, TakenFromAFullVersion) {
  const FullVersion v = Example();
  const _SPVersion sp(v);
  EXPECT_EQ(sp.GetRelease(), 11);
  EXPECT_EQ(sp.GetTransId(), 4711);
  EXPECT_EQ(FullVersion(sp, _UPVersion(2, 5120, "Pack 2")), v);
}

// ---------------------------------------------------------------------------------------------

TEST(FullVersion, FieldsByNumber) {
  const FullVersion v = Example();
  EXPECT_EQ(v.Get(0), 11);
  EXPECT_EQ(v.Get(1), 80);
  EXPECT_EQ(v.Get(2), 20);
  EXPECT_EQ(v.Get(3), 0);
  EXPECT_EQ(v.Get(5), 4711);
  EXPECT_EQ(v.Get(6), 3);
  EXPECT_EQ(v.Get(8), 2);
  EXPECT_EQ(v.Get(9), 5120);
  EXPECT_EQ(v.Get(4), 0);
  EXPECT_EQ(v.Get(11), 0);
  EXPECT_EQ(v.Get(-1), 0);
  EXPECT_EQ(v.GetStr(2), "20");
  EXPECT_EQ(v.GetStr(3), "");
  EXPECT_EQ(v.GetStr(4), "SP20");
  EXPECT_EQ(v.GetStr(5), "4711");
  EXPECT_EQ(v.GetStr(6), "3");
  EXPECT_EQ(v.GetStr(7), "CU-name");
  EXPECT_EQ(v.GetStr(8), "2");
  EXPECT_EQ(v.GetStr(10), "Pack 2");
  EXPECT_EQ(v.GetStr(11), "");

  FullVersion w = v;
  EXPECT_FALSE(w.Set(4, 1));
  EXPECT_FALSE(w.Set(7, 1));
  EXPECT_FALSE(w.Set(10, 1));
  EXPECT_FALSE(w.Set(11, 1));
  EXPECT_FALSE(w.Set(3, '9'));
  EXPECT_EQ(w, v);
  EXPECT_TRUE(w.Set(3, 'a'));
  EXPECT_EQ(w.GetStr(3), "a");
  EXPECT_EQ(w.GetStr(4), "SP20a");
}

TEST(FullVersion, EveryFieldTextParsesBack) {
  for (const FullVersion& v : Samples()) {
    for (int field = 0; field <= 10; ++field) {
      SCOPED_TRACE(field);
      FullVersion w;
      if (field == FullVersion::kSPName && v.GetStr(field) == "SP0") {
        // No service pack is named by a major of exactly "0".
        EXPECT_FALSE(w.SetStr(field, v.GetStr(field)));
        continue;
      }
      ASSERT_TRUE(w.SetStr(field, v.GetStr(field))) << v.GetStr(field);
      EXPECT_EQ(w.GetStr(field), v.GetStr(field));
      if (field != 4 && field != 7 && field != 10) {
        EXPECT_EQ(w.Get(field), v.Get(field));
      }
    }
  }
}

TEST(FullVersion, MalformedFieldTextsAreRefused) {
  const FullVersion v = Example();
  struct Case {
    int field;
    const char* text;
  } bad[] = {{0, ""},  {0, "11x"}, {0, " 11"}, {0, "011"}, {1, "2147483648"}, {1, "-2147483649"},
             {5, "0x10"}, {5, "-0"}, {6, "+3"}, {3, "ab"}, {3, "1"}, {4, "20"}, {4, "SP0"}, {4, "SP20/x"},
             {11, "1"}, {-1, "1"}};
  for (const Case& c : bad) {
    SCOPED_TRACE(std::to_string(c.field) + " [" + c.text + "]");
    FullVersion w = v;
    EXPECT_FALSE(w.SetStr(c.field, c.text));
    EXPECT_EQ(w, v);
  }
}

TEST(FullVersion, FormsOfTheExampleVersion) {
  const FullVersion v = Example();
  EXPECT_EQ(v.formatted_str(1), "11.0.0 SP20");
  EXPECT_EQ(v.formatted_str(2), "SP20");
  EXPECT_EQ(v.formatted_str(3), "SP20_4711_R3");
  EXPECT_EQ(v.formatted_str(4), "V11B80_SP20_4711_R3_CU2");
  EXPECT_EQ(v.formatted_str(5), "V11B80_SP20_4711_R3");
  EXPECT_EQ(v.formatted_str(6), "SP20_4711_R3_CU2_5120");
  EXPECT_EQ(v.formatted_str(7), "CU2_5120");
  EXPECT_EQ(v.formatted_str(8), "SP20_4711");
  EXPECT_EQ(v.formatted_str(0), "");
  EXPECT_EQ(v.formatted_str(9), "");
  // The folder-name forms agree with the feature-release record's own texts.
  EXPECT_EQ(v.formatted_str(2), v.GetSPVersion().ToStr(true));
  EXPECT_EQ(v.formatted_str(3), v.GetSPVersion().getSPFolderNameStr());
}

TEST(FullVersion, EveryFormRoundTrips) {
  for (const FullVersion& v : Samples()) {
    for (int format : kAllFormats) {
      const std::string text = v.formatted_str(format);
      SCOPED_TRACE(text);
      // Texts follow the name grammar, which has no major below 0 ("SP-1" is the name with the
      // minor "-1") and, in a name by itself, none of exactly 0 ("SP0" is refused).
      if (v.Get(FullVersion::kSPMajor) < 0 && !CarriedFields(format).empty() &&
          CarriedFields(format)[0] != FullVersion::kUPNumber)
        continue;
      if (format == FullVersion::kFormatSPName && v.Get(FullVersion::kSPMajor) == 0) continue;
      // Into an empty version: exactly the carried fields arrive.
      FullVersion w;
      ASSERT_TRUE(w.set_formatted_str(format, text));
      EXPECT_EQ(w.formatted_str(format), text);
      for (int field : CarriedFields(format)) EXPECT_EQ(w.Get(field), v.Get(field)) << field;
      // Into a full version: the fields the form does not carry stay.
      FullVersion x = Make(1, 2, 3, 'k', 4, 5, 6, 7);
      ASSERT_TRUE(x.set_formatted_str(format, text));
      const std::vector<int> carried = CarriedFields(format);
      for (int field : kNumericFields) {
        bool isCarried = false;
        for (int c : carried) isCarried |= (c == field);
        const int before = Make(1, 2, 3, 'k', 4, 5, 6, 7).Get(field);
        EXPECT_EQ(x.Get(field), isCarried ? v.Get(field) : before) << field;
      }
    }
  }
}

TEST(FullVersion, WrittenNamesAndSentinelsRoundTripInLongerForms) {
  // A feature release found as "SP01" or "SP5ab" keeps that name in its folder and side texts.
  for (const char* name : {"SP01", "SP5ab", "SPa", "SP-1", "SP00"}) {
    SCOPED_TRACE(name);
    FullVersion v(_SPVersion(name, "", 80, 4711, 3), _UPVersion(2, 5120, ""));
    v.Set(FullVersion::kRelease, 11);
    for (int format : kAllFormats) {
      const std::string text = v.formatted_str(format);
      FullVersion w;
      ASSERT_TRUE(w.set_formatted_str(format, text)) << text;
      EXPECT_EQ(w.formatted_str(format), text);
      if (format == FullVersion::kFormatUPTransaction) continue;  // carries no service pack
      EXPECT_EQ(w.Get(FullVersion::kSPMajor), v.Get(FullVersion::kSPMajor)) << text;
      EXPECT_EQ(_SPVersion::CompareMinor(w.GetSPVersion(), v.GetSPVersion()), 0) << text;
    }
    EXPECT_EQ(v.formatted_str(3), std::string(name) + "_4711_R3");
    EXPECT_EQ(v.GetStr(FullVersion::kSPMinor), _SPVersion(name, "", 0, 0, 0).GetMinorStr());
  }
  // No feature release (major 0) is no name, yet comes back from the longer forms; "SP-1" is a
  // name everywhere, so the "none recorded" mark -1 stays in records and is not read from text.
  for (int minor : {0, static_cast<int>('a')}) {
    FullVersion v(_SPVersion(0, minor, 4711, 3));
    FullVersion w;
    ASSERT_TRUE(w.set_formatted_str(FullVersion::kFormatSide, v.formatted_str(FullVersion::kFormatSide)));
    EXPECT_EQ(w.Get(FullVersion::kSPMajor), 0);
    EXPECT_EQ(w.Get(FullVersion::kSPMinor), minor);
  }
  FullVersion none(_SPVersion(-1, 0, 4711, 3));
  ASSERT_TRUE(none.set_formatted_str(FullVersion::kFormatSide, none.formatted_str(FullVersion::kFormatSide)));
  EXPECT_EQ(none.Get(FullVersion::kSPMajor), 0);
  EXPECT_EQ(none.GetStr(FullVersion::kSPMinor), "-1");
  // The minor orders the full versions as it orders the service packs.
  EXPECT_LT(FullVersion::Compare(FullVersion::kCompareLevel, FullVersion(_SPVersion("SP5a", "", 0, 0, 0)),
                                 FullVersion(_SPVersion("SP5ab", "", 0, 0, 0))), 0);
}

TEST(FullVersion, TransactionFormsAlsoReadABareNumber) {
  FullVersion v = Example();
  ASSERT_TRUE(v.set_formatted_str(8, "99"));
  EXPECT_EQ(v.Get(5), 99);
  EXPECT_EQ(v.Get(2), 20);
  ASSERT_TRUE(v.set_formatted_str(7, "77"));
  EXPECT_EQ(v.Get(9), 77);
  EXPECT_EQ(v.Get(8), 2);
  // Applied one after the other, as an installed client records them.
  FullVersion installed;
  ASSERT_TRUE(installed.set_formatted_str(8, "SP21a_900"));
  ASSERT_TRUE(installed.set_formatted_str(7, "CU4_950"));
  EXPECT_EQ(installed.formatted_str(6), "SP21a_900_R0_CU4_950");
}

TEST(FullVersion, MalformedFormsAreRefusedAndChangeNothing) {
  struct Case {
    int format;
    const char* text;
  } bad[] = {
      {1, "11.0.0SP20"}, {1, "11 SP20"}, {1, "11.0.0 SP20/"}, {1, "11.0.0 20"}, {1, ""},
      {2, "20"}, {2, "SP"}, {2, "SP0"}, {2, "SP20/.."}, {2, "SP1\\x"}, {2, "sp20"},
      {3, "SP20_4711"}, {3, "SP20_4711_R"}, {3, "SP20_4711_R3x"}, {3, "SP20_R3"},
      {4, "V11B80_SP20_4711_R3"}, {4, "V11B80SP20_4711_R3_CU2"}, {4, "V11_SP20_4711_R3_CU2"},
      {4, "V11B80_SP20_4711_R3_CU"}, {4, "v11b80_sp20_4711_r3_cu2"},
      {5, "V11B80_SP20_4711_R3_CU2"}, {5, "B80_SP20_4711_R3"},
      {6, "SP20_4711_R3_CU2"}, {6, "SP20_4711_R3_CU2_"}, {6, "SP20_4711_R3_2_5120"},
      {7, "CU2"}, {7, "CU_5120"}, {7, "CU2_5120_"}, {7, ""}, {7, "x"},
      {8, "SP20"}, {8, "SP20_"}, {8, "SP_4711"}, {8, "4711 "}, {8, "0x10"},
      {9, "SP20"}, {0, ""}, {-3, "SP20"},
  };
  const FullVersion v = Example();
  for (const Case& c : bad) {
    SCOPED_TRACE(std::to_string(c.format) + " [" + c.text + "]");
    FullVersion w = v;
    EXPECT_FALSE(w.set_formatted_str(c.format, c.text));
    EXPECT_EQ(w, v);
  }
}

TEST(FullVersion, OverflowingNumbersAreRefusedInEveryPosition) {
  const FullVersion v = Example();
  // Each number of the side form pushed one past either end of the 32-bit range.
  const std::string templ = "V#B#_SP#_#_R#_CU#";
  for (size_t slot = 0; slot < 6; ++slot) {
    for (const char* big : {"2147483648", "-2147483649", "99999999999999999999999"}) {
      // In the service-pack slot "SP-2147483649" is a name: no major, the minor "-2147483649".
      if (slot == 2 && big[0] == '-') continue;
      std::string text;
      size_t n = 0;
      for (char ch : templ) {
        if (ch == '#') text += (n++ == slot) ? big : "1";
        else text += ch;
      }
      SCOPED_TRACE(text);
      FullVersion w = v;
      EXPECT_FALSE(w.set_formatted_str(4, text));
      EXPECT_EQ(w, v);
    }
  }
  FullVersion w;
  EXPECT_TRUE(w.set_formatted_str(4, "V2147483647B-2147483648_SP1_1_R1_CU1"));
  EXPECT_EQ(w.Get(0), INT_MAX);
  EXPECT_EQ(w.Get(1), INT_MIN);
}

TEST(FullVersion, FolderFormsArePathSafe) {
  for (const FullVersion& v : Samples()) {
    for (int format : {2, 3, 4, 5, 6, 7, 8}) {
      const std::string text = v.formatted_str(format);
      SCOPED_TRACE(text);
      ASSERT_FALSE(text.empty());
      EXPECT_NE(text, "..");
      for (char ch : text) {
        const bool ok = (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') ||
                        (ch >= 'A' && ch <= 'Z') || ch == '_' || ch == '-';
        EXPECT_TRUE(ok) << "character " << static_cast<int>(ch);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------

TEST(FullVersion, CompareKindsLookAtTheirFields) {
  const FullVersion base = Make(11, 80, 20, 0, 4711, 3, 2, 5120);
  struct Case {
    FullVersion higher;
    int level, media, withUP;  // expected Compare(kind, higher, base)
  } cases[] = {
      {Make(12, 80, 20, 0, 4711, 3, 2, 5120), 1, 1, 1},
      {Make(11, 81, 20, 0, 4711, 3, 2, 5120), 1, 1, 1},
      {Make(11, 80, 21, 0, 4711, 3, 2, 5120), 1, 1, 1},
      {Make(11, 80, 20, 'a', 4711, 3, 2, 5120), 1, 1, 1},
      {Make(11, 80, 20, 0, 4712, 3, 2, 5120), 0, 1, 1},
      {Make(11, 80, 20, 0, 4711, 4, 2, 5120), 0, 1, 1},
      {Make(11, 80, 20, 0, 4711, 3, 3, 5120), 0, 0, 1},
      {Make(11, 80, 20, 0, 4711, 3, 2, 5121), 0, 0, 0},  // no kind looks at the pack's id
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.higher.formatted_str(4) + " " + c.higher.formatted_str(6));
    EXPECT_EQ(FullVersion::Compare(0, c.higher, base), c.level);
    EXPECT_EQ(FullVersion::Compare(1, c.higher, base), c.media);
    EXPECT_EQ(FullVersion::Compare(3, c.higher, base), c.withUP);
    EXPECT_EQ(FullVersion::Compare(0, base, c.higher), -c.level);
    EXPECT_EQ(FullVersion::Compare(1, base, c.higher), -c.media);
    EXPECT_EQ(FullVersion::Compare(3, base, c.higher), -c.withUP);
    // An unknown kind is the strictest one.
    EXPECT_EQ(FullVersion::Compare(2, c.higher, base), c.withUP);
    EXPECT_EQ(FullVersion::Compare(-7, c.higher, base), c.withUP);
  }
  // Earlier fields decide before later ones.
  EXPECT_LT(FullVersion::Compare(3, Make(11, 80, 20, 0, 9999, 9, 9, 0),
                                 Make(11, 80, 21, 0, 0, 0, 0, 0)),
            0);
  // The full 32-bit range compares without overflow.
  EXPECT_LT(FullVersion::Compare(1, Make(INT_MIN, 0, 0, 0, 0, 0, 0, 0),
                                 Make(INT_MAX, 0, 0, 0, 0, 0, 0, 0)),
            0);
  EXPECT_GT(FullVersion::Compare(1, Make(0, 0, 0, 0, INT_MAX, 0, 0, 0),
                                 Make(0, 0, 0, 0, INT_MIN, 0, 0, 0)),
            0);
  // Texts take no part.
  FullVersion named = base;
  named.SetStr(FullVersion::kCUName, "other");
  named.SetStr(FullVersion::kUPFriendlyName, "other");
  EXPECT_EQ(FullVersion::Compare(3, named, base), 0);
  EXPECT_NE(named, base);
}

// Equal under a kind exactly when the form made for that kind is equal: lock folders (form 4)
// and side keys (kind 3) never disagree, nor media texts (form 5) and media maps (kind 1).
TEST(FullVersion, KindsAgreeWithTheirForms) {
  std::vector<FullVersion> grid;
  for (int rel : {10, 11})
    for (int major : {-1, 0, 20})
      for (int minor : {0, int('a'), int('A')})
        for (int trans : {0, 4711})
          for (int rev : {0, 3})
            for (int up : {0, 2})
              grid.push_back(Make(rel, 80, major, minor, trans, rev, up, up * 7));
  for (const FullVersion& a : grid) {
    for (const FullVersion& b : grid) {
      ASSERT_EQ(FullVersion::Compare(3, a, b) == 0, a.formatted_str(4) == b.formatted_str(4));
      ASSERT_EQ(FullVersion::Compare(1, a, b) == 0, a.formatted_str(5) == b.formatted_str(5));
      ASSERT_EQ(FullVersion::Compare(3, a, b), -FullVersion::Compare(3, b, a));
    }
  }
}

}  // namespace
