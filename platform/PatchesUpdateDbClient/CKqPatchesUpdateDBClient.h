// CKqPatchesUpdateDBClient: the patch questions the install utilities ask the Hubnode database.
//
// Made for one call on the caller's thread; it uses that thread's database session.
#ifndef KQ_PLATFORM_PATCHESUPDATEDBCLIENT_CKQPATCHESUPDATEDBCLIENT_H_
#define KQ_PLATFORM_PATCHESUPDATEDBCLIENT_CKQPATCHESUPDATEDBCLIENT_H_

#pragma GCC visibility push(default)

#include <string>
#include <vector>

// One platform row: a package of the product, by id. A row without a name (NULL in the
// database) has hasName false.
struct KqPlatformRow {
  int id = 0;
  bool hasName = false;
  std::string name;
};

class CKqPatchesUpdateDBClient {
 public:
  // At most this many rows are returned.
  static constexpr int kMaxPlatforms = 200;

  CKqPatchesUpdateDBClient() = default;

  // Replaces rows with the packages of table "simPackage" in id order, at most kMaxPlatforms.
  // 0 on success (also for no rows); 1000 when the query fails, rows then empty and the
  // reason in errorText().
  int GetPlatformList(std::vector<KqPlatformRow>& rows);

  const std::string& errorText() const { return m_error; }

 private:
  std::string m_error;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_PATCHESUPDATEDBCLIENT_CKQPATCHESUPDATEDBCLIENT_H_
