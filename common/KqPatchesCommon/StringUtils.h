// String, path-text and small-list utilities shared by the whole library.
//
// Free functions without state and without logging; all are thread-safe (the splitters work on
// their own copies of the text). Declared here, included by UpdateUtils.h.
#ifndef KQPATCHESCOMMON_STRINGUTILS_H_
#define KQPATCHESCOMMON_STRINGUTILS_H_

#pragma GCC visibility push(default)

#include <list>
#include <string>
#include <vector>

// A package of an application record. `name` is owned, allocated with malloc (strdup) and
// released by FreeElementsInList; it may be null.
struct PInfo {
  int id = 0;
  char* name = nullptr;
};

// An application record: its id and its packages (the PInfo objects are not owned here).
struct AppInfo {
  int id = 0;
  std::vector<PInfo*> packages;
};

// ---- Path separators -------------------------------------------------------------------
void UnixPath(std::string& path);  // every '\' becomes '/'
void UnixPath(char* path);         // same, in place; null is ignored
void WinPath(std::string& path);   // every '/' becomes '\'
void WinPath(char* path);

// ---- Case, search and comparison ---------------------------------------------------------
// Lower-cased copy ("" for null).
std::string ToLowerCase(const char* text);
// Index of the first occurrence of `pattern` in `text` ignoring case, e.g. (".exe" in
// "Setup.EXE") = 5; 0xFFFFFFFF when absent or when either argument is null.
unsigned StrIStr(const char* text, const char* pattern);
// Prefix / suffix tests, case-sensitive or not; an empty prefix or suffix matches, a null one
// does not; a suffix longer than the text does not.
bool StartsWith(const std::string& text, const char* prefix, bool ignoreCase);
bool EndsWith(const std::string& text, const char* suffix, bool ignoreCase);

// ---- Trimming and cutting ---------------------------------------------------------------------
void StripTrailingBackslash(std::string& path);    // one final '\' or '/' ("a//" -> "a/")
void StripTrailingWhitespace(std::string& text);   // trailing blanks and line feeds (not tabs or CR)
void StripTrailingChars(std::string& text, char c);  // trailing blanks, line feeds and c
// From index `start` on, each of / : * ? " < > | % becomes `replacement` ("a:b%c" -> "a_b_c").
void replaceSpecialChars(std::string& text, unsigned start, char replacement);
// Shortens a comma-separated list longer than `limit`: drops whole items from the end, then
// appends ",..." ("a,b,c" with limit 3 -> "a,b,..."). A remaining text with no comma that is
// still too long is cut at `limit`. Always true.
bool TruncatePatchString(std::string& text, int limit);
// Removes every occurrence of c.
void EraseCharFromString(std::string& text, char c);
// strerror text of an errno value, trailing white space removed.
std::string GetErrorCodeAsString(int code);

// ---- Lists to and from text ---------------------------------------------------------------
// "1,2,3," for {1, 2, 3} (each value unsigned decimal, each followed by ","); "" for none.
std::string ListToString(const std::list<unsigned>& values);
// "1;2;" for ({1, 2}, ";"): each value in decimal followed by the separator; "" for none.
std::string VectorToString(const std::vector<unsigned>& values, const std::string& separator);
// Split at any of the delimiter characters; empty tokens are dropped; results are appended.
// Numbers are read like atoi (leading blanks, a sign, decimal digits; no digit gives 0) but
// saturate instead of overflowing: StringToList clamps to the int range; StringToVector with
// unsigned clamps to [INT_MIN, UINT_MAX], a negative value wrapping as it always has
// ("-1" -> 4294967295). The caller's text is never modified.
void StringToList(const std::string& text, std::list<int>& out, const char* delimiters);
void StringToVector(const std::string& text, std::vector<unsigned>& out, const char* delimiters);
void StringToVector(const std::string& text, std::vector<std::string>& out, const char* delimiters);
// Clears `tokens`, then fills it with the tokens of `text` split at blank , ( ) tab newline.
void GetTokens(const std::string& text, std::vector<std::string>& tokens);

// ---- Small list searches ----------------------------------------------------------------
// True when a token of `text` (GetTokens) equals an element exactly.
bool FindInList(const std::string& text, const std::vector<std::string>& list);
// True when `name` equals exactly a token of `list` split at ',' and ' '.
bool FindInListWithCommaAndSpace(const std::string& name, const std::string& list);
// True when an element equals `text` ignoring case (null elements and a null text never match).
bool FindInList(const char* text, std::list<char*>& list);
// True when an element's name is non-null and equals `name` ignoring case.
bool FindInList(const char* name, std::vector<PInfo*>& list);
bool FindInList(int value, std::list<int>& list);
bool FindInList(int value, const std::vector<int>& list);
// True with `found` set to the first element with that id; `found` untouched otherwise.
bool FindInList(int id, std::vector<AppInfo*>& list, AppInfo*& found);
// Frees each element's name and sets it to null; the PInfo objects stay.
void FreeElementsInList(std::vector<PInfo*>& list);
// For each element: frees the names of its packages, then deletes the AppInfo and sets the
// entry to null. The vector keeps its (null) entries; the caller clears it.
void FreeElementsInList(std::vector<AppInfo*>& list);
// Keeps in `names` only the entries that occur exactly in `wanted`, in order, duplicates kept.
bool RemoveExtraFilesFromList(std::list<std::string>& names, std::list<std::string>& wanted);

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_STRINGUTILS_H_
