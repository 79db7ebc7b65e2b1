// The emulated Hubnode schema and its procedures.
//
// HubnodeSchema.sql (embedded in the library) holds the tables and, in marked blocks, the
// bodies of the stored procedures and SQL batches in portable SQL:
//
//   -- @procedure PatchGetOSes 1      (name, number of arguments; SQL statements follow)
//   -- @batch GetClientAndOS 1        (the portable equivalent of a fixed SQL batch)
//   -- @host SimGetAllCUs 1           (a procedure whose body is C++, see below; "writes"
//                                      after the count runs it in a write transaction)
//   -- @end
//
// The procedures form a registry keyed by name, case-insensitively. A body's last statement
// gives the rows. A procedure that parses or builds message XML has a host body: C++ code
// built into the layer (HubnodeHostBodies.cpp) and given to the procedure when the registry is
// made, or registered later with RegisterHostProcedure; calling one without a body fails (1000)
// with a message that says so.
#ifndef KQ_PLATFORM_DATABASE_DBPROCEDURES_H_
#define KQ_PLATFORM_DATABASE_DBPROCEDURES_H_

#pragma GCC visibility push(default)

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Database/DbBackend.h"

namespace kq {
namespace db {

class Session;

// A C++ procedure body: fills rows and returns 0 (or 100 when it has none), or 1000 with err
// (any other code counts as 1000). A body declared "writes" runs in one transaction, rolled back
// when it fails.
using HostBody = std::function<int(Session& session, const std::vector<Value>& args,
                                   std::vector<Row>& rows, std::string& err)>;

struct Procedure {
  enum Kind { kSql, kBatch, kHost };
  std::string name;
  Kind kind = kSql;
  int argCount = 0;
  std::vector<std::string> statements;  // kSql and kBatch
  bool writes = false;                  // a statement changes data
  HostBody host;                        // kHost; empty until registered
};

std::shared_ptr<const Procedure> FindProcedure(const std::string& name);
// Gives a procedure a C++ body, replacing an earlier body (or declaring a new procedure).
void RegisterHostProcedure(const std::string& name, int argCount, HostBody body);
// The body built into the layer for a host procedure of the schema (name in any case); empty
// when it has none.
HostBody BuiltInHostBody(const std::string& name);
// The schema's table definitions as one script.
const std::string& SchemaScript();
// The embedded schema file as it stands.
const char* SchemaFileText();

// Runs a procedure to its end and returns the rows of its last statement: 0 with rows, 100
// without, 1000 with err. Bodies that write, or have several statements, run in one
// transaction (unless the session is already in one).
int RunProcedure(Session& session, const Procedure& proc, const std::vector<Value>& args,
                 std::vector<Row>& rows, std::string& err);

}  // namespace db
}  // namespace kq

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_DBPROCEDURES_H_
