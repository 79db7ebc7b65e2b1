// IMediaAccess: fetches files of a download source (ftp, http or https server) or of a copy
// source (a folder of this machine) into local files.
//
// Made by CreateMediaAccess from two source records: the download record, which GetFile with
// a flag uses and GetMediaConfiguration returns, and the hotfix-configuration record, which the
// two-argument GetFile uses. Released by DestroyMediaAccess; the maker owns it.
//
// Open checks a record before use: a known protocol, a server name, for a copy source an
// existing folder, for a network server that it answers (and, for https, that its certificate
// is accepted). Fetching does not need Open; each fetch stands alone, though http(s) fetches
// go over a connection an earlier fetch or probe of the object left open when there is one.
//
// A fetch reads the remote path relative to the record's server name (a relative name, "\"
// read as "/"; an absolute path or a ".." step is refused) and writes the local path, making
// its missing parent folders; below the record's local cache no link is followed (a target
// reached through one is refused), and a copy reads no link below its copy folder and nothing
// but a regular file. The file is written beside the target under a name unique to the
// transfer and renamed over the target only when the transfer is complete (http(s): a 200
// reply, ftp: a transfer reported complete, with the length announced, if any); a failure
// removes it and leaves an existing target as it was. Timeouts and server errors (5xx) are
// tried again a few times after a short wait; every transfer ends (low-speed limit, deadline,
// size cap, free-space reserve).
//
// Results: 0 on success, otherwise a code of FXErrorUtil::ErrorWin32 (0x8007xxxx): 2 the file
// is missing on the source, 5 access refused (login, 401, 403), 13 an incomplete or
// inconsistent transfer, 87 a bad argument or refused name, 112 the local disk is full,
// 1460 a timeout, 12029 no connection, 12157 the secure channel failed (certificate),
// 29 the local file could not be written, 1359 anything else. The text of the calling thread's
// last failure is kept per thread, so one object serves a pool of threads.
#ifndef KQ_PLATFORM_MEDIAACCESS_IMEDIAACCESS_H_
#define KQ_PLATFORM_MEDIAACCESS_IMEDIAACCESS_H_

#pragma GCC visibility push(default)

#include <string>

#include "Jobs/IPatchEvent.h"
#include "MediaAccess/CMediaConfiguration.h"
#include "PortableFiles/ScopedFd.h"

class IMediaAccess {
 public:
  virtual ~IMediaAccess() {}

  // Checks the download record and that its source answers; 0 = ready.
  virtual unsigned int Open() = 0;
  // Ends the use of the source: closes the connections kept open; always 0.
  virtual unsigned int Close() = 0;
  // Fetches from the download source. The flag is accepted and changes nothing.
  virtual unsigned int GetFile(const std::string& remotePath, const std::string& localPath,
                               int flag) = 0;
  // Fetches from the download source, for a caller that works on the new file in place before
  // it lets it go: on success `held` is a descriptor of the file under the owner's lock that its
  // transfer held (PortableFiles/OwnedEntries.h), so that no sweep of ownerless files ever
  // meets it unheld; closing `held` lets it go. This one is the fallback for a media access
  // whose transfers cannot hand their lock on: it fetches with GetFile() and then takes the
  // lock, so the new file goes unheld for that moment.
  virtual unsigned int GetFileHeld(const std::string& remotePath, const std::string& localPath,
                                   kq::ScopedFd& held);
  // Fetches from the hotfix-configuration source.
  virtual unsigned int GetFile(const std::string& remotePath, const std::string& localPath) = 0;
  // The download record.
  virtual const nPatchDownload::CMediaConfiguration& GetMediaConfiguration() const = 0;
  // The text of the calling thread's last failure ("" when it had none).
  virtual std::string GetLastErrorString() const = 0;
};

// Makes a media access object over copies of the two records; its lines go to `sink`, which
// must outlive it. 0 and *out set, else 0x80000008 (null out) with *out null.
unsigned int CreateMediaAccess(const nPatchDownload::CMediaConfiguration& download,
                               const nPatchDownload::CMediaConfiguration& hotfixConfig,
                               nPatchDownload::IPatchEvent& sink, IMediaAccess** out);
// Releases an object made by CreateMediaAccess; null is ignored.
void DestroyMediaAccess(IMediaAccess* access);

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_MEDIAACCESS_IMEDIAACCESS_H_
