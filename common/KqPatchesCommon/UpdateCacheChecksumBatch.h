// ChecksumBatch: the folder checksums one request is about to ask for, walked ahead as one piece
// of work on the job's checksum pool while the caller does the rest of the request.
//
// The owner of a request makes a batch on its thread while it holds the job's checksum pool,
// adds the folders its request will checksum (KQUpdateCache::CalculateFileCksumForDir's
// arguments) in the order it will ask for them, and then answers the request as usual. While
// the batch lives, each CalculateFileCksumForDir call of its owner on that thread takes the
// entries of the matching folder walked ahead (helping the walk until that folder is done), and
// logs and returns what the call always did. A call the batch cannot answer (no such folder
// added, or its walk failed or was given up) lets the batch's walk end first and then walks as
// usual, so that its failure is met, logged and returned as it always was. Folders added but
// not asked for in their turn are dropped. Never more threads work than the pool has, the
// caller's included. The batch writes no log line of its own.
//
// A batch does nothing (Add is ignored) without a pool of more than one thread, on a thread
// that has a batch already, or at log levels that show the lines of each walk's threads and
// joins (8 and up).
#ifndef KQ_COMMON_KQPATCHESCOMMON_UPDATECACHECHECKSUMBATCH_H_
#define KQ_COMMON_KQPATCHESCOMMON_UPDATECACHECHECKSUMBATCH_H_

#include <memory>
#include <string>

class KQUpdateCache;
class KqThreadPool;
struct ChecksumBatchState;

class ChecksumBatch {
 public:
  // `pool`: the job's checksum pool, held by the caller for the batch's whole life.
  ChecksumBatch(KQUpdateCache& owner, KqThreadPool* pool);
  // Gives up the folders not asked for and waits until the pool has nothing of the batch left.
  ~ChecksumBatch();
  ChecksumBatch(const ChecksumBatch&) = delete;
  ChecksumBatch& operator=(const ChecksumBatch&) = delete;

  bool active() const { return state_ != nullptr; }
  // Walks dir (or dir + "/" + subPath) ahead for the CalculateFileCksumForDir call with the same
  // arguments, of the File form or (media) the BinaryV11 form.
  void Add(const std::string& dir, const std::string& subPath, bool isUnix, bool recursive, bool media);

 private:
  std::unique_ptr<ChecksumBatchState> state_;
};

#endif  // KQ_COMMON_KQPATCHESCOMMON_UPDATECACHECHECKSUMBATCH_H_
