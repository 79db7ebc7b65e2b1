// C7zip: extracts archives by running the 7-Zip command-line program.
//
// The program is started from an argument vector with fork/execvp, never through a shell, so a
// quotation mark, a semicolon or a blank in a path is only a character of that path. Its
// standard input is /dev/null (a question the program asks is answered by end of input, which
// makes it fail) and its standard output and error are collected for the error text.
//
// Archives come from downloads and are not trusted. Before anything is written the extraction
// calls list the archive's entries and refuse it when an entry has an absolute path, a ".."
// component, a line break in its name, is nested deeper than kMaxEntryDepth or is a symbolic or
// hard link, or when the listing itself fails (a truncated or foreign file). The program then
// extracts into a fresh folder of ours inside the destination; what it made there is examined
// without following links (a link, whatever the archive's header claims, or a special file, or
// a name with a line break fails the call, and everything extracted is removed) and moved into
// the destination by renames that replace a link in the way and never follow one. So nothing
// lands outside the destination folder. An archive whose entries, by the sizes its listing
// gives, would not fit in the destination file system's free space less a reserve is refused
// before anything is written (LackedSpace() tells that refusal from the others).
//
// A C7zip object is cheap, owns nothing but its texts and may be used from one thread at a time.
#ifndef KQ_PLATFORM_ARCHIVE_C7ZIP_H_
#define KQ_PLATFORM_ARCHIVE_C7ZIP_H_

#pragma GCC visibility push(default)

#include <string>
#include <vector>

class C7zip {
 public:
  // Archive formats; kAuto lets the program recognise the archive.
  enum Format { kAuto = 0, k7z = 1, kZip = 2, kTar = 3 };

  // One entry of an archive listing.
  struct Entry {
    std::string path;       // as stored in the archive
    bool isFolder = false;
    bool isLink = false;    // symbolic or hard link
    unsigned long long size = 0;  // extracted size in bytes, as the listing gives it
  };

  // program: the 7-Zip program's path, a folder holding "7z", or empty for "7z" on $PATH.
  C7zip(const std::string& program, int format);

  // Finds the program; false (with the error text set) when it is not there or not executable.
  bool Initialize();

  // Runs the program with these arguments (the program name is added in front). True when it
  // exits with status 0. Checks nothing: extraction callers check the archive first.
  bool RunCommandLine(const std::vector<std::string>& args);

  // Lists the entries of an archive; false when the program cannot read it.
  bool ListEntries(const std::string& archive, std::vector<Entry>& entries);

  // Lists the archive and tells whether every entry may be extracted below a destination.
  bool VerifyArchive(const std::string& archive);

  // Entries nested deeper, or with longer names, are refused.
  static constexpr int kMaxEntryDepth = 128;
  static constexpr size_t kMaxEntryNameBytes = 4096;

  // Verifies the archive, then extracts it with its folder structure below destination,
  // overwriting files that exist there.
  bool ExtractFilesWithFullPathsFromArchive(const std::string& archive,
                                            const std::string& destination);

  // Verifies the archive and extracts it into the existing folder destination as described
  // above: with its folder structure when fileSpec is empty, else only the entries matching
  // fileSpec (searched recursively), each directly in destination. Without overwrite, an
  // entry that exists in destination fails the call.
  bool ExtractInto(const std::string& archive, const std::string& destination,
                   const std::string& fileSpec, bool overwrite);

  // The arguments of a flat extraction of the entries matching fileSpec, searched recursively,
  // into destination: e -o<destination> -r [-y] -- <archive> <fileSpec>.
  std::vector<std::string> FlatExtractArgs(const std::string& archive,
                                           const std::string& destination,
                                           const std::string& fileSpec, bool overwrite) const;

  // A printable form of an argument vector, each argument in quotation marks (for log lines).
  static std::string CommandLineText(const std::vector<std::string>& args);

  // Whether an entry name may be extracted: relative, no ".." component (with '/' or '\' as the
  // separator), no line break.
  static bool IsSafeEntryName(const std::string& name);

  // Bytes an extraction must leave free on the destination's file system (default: none).
  void SetFreeSpaceReserve(unsigned long long bytes) { reserveBytes_ = bytes; }
  // Whether the last extraction was refused because the archive does not fit (see above).
  bool LackedSpace() const { return lackedSpace_; }

  // The bytes an extraction of these entries writes: all of them when fileSpec is empty, else
  // those whose name (or, for a fileSpec holding '/', whose path) matches it.
  static unsigned long long ExtractedBytes(const std::vector<Entry>& entries,
                                           const std::string& fileSpec);

  const std::string& GetLastError() const { return lastError_; }
  const std::string& GetProgram() const { return program_; }

 private:
  bool Run(const std::vector<std::string>& args, std::string& output, size_t outputCap);
  std::vector<std::string> TypeSwitch() const;
  bool VerifyEntries(const std::string& archive, std::vector<Entry>& entries);
  bool FitsDestination(int destFd, const std::string& destination,
                       unsigned long long extractedBytes);

  std::string program_;
  int format_;
  bool initialized_ = false;
  unsigned long long reserveBytes_ = 0;
  bool lackedSpace_ = false;
  std::string lastError_;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_ARCHIVE_C7ZIP_H_
