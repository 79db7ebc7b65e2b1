#include "Database/DbProcedures.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <sstream>

#include "Database/DbSession.h"

// The schema file is built into the library (its path comes from the build).
#ifndef KQ_HUBNODE_SCHEMA_FILE
#error "KQ_HUBNODE_SCHEMA_FILE must name platform/Database/HubnodeSchema.sql"
#endif
__asm__(
    ".pushsection .rodata\n"
    ".global kqHubnodeSchemaSql\n"
    ".hidden kqHubnodeSchemaSql\n"
    ".type kqHubnodeSchemaSql, @object\n"
    "kqHubnodeSchemaSql:\n"
    ".incbin \"" KQ_HUBNODE_SCHEMA_FILE "\"\n"
    ".byte 0\n"
    ".popsection\n");
extern "C" const char kqHubnodeSchemaSql[];

namespace kq {
namespace db {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Splits a body on ';' outside quotes; drops empty statements.
std::vector<std::string> SplitStatements(const std::string& body) {
  std::vector<std::string> out;
  std::string cur;
  char quote = 0;
  for (char c : body) {
    if (quote != 0) {
      cur += c;
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
      cur += c;
    } else if (c == ';') {
      std::string t = Trim(cur);
      if (!t.empty()) out.push_back(t);
      cur.clear();
    } else {
      cur += c;
    }
  }
  std::string t = Trim(cur);
  if (!t.empty()) out.push_back(t);
  return out;
}

bool Writes(const std::string& stmt) {
  std::string head = Lower(stmt.substr(0, 8));
  return head.compare(0, 6, "insert") == 0 || head.compare(0, 6, "update") == 0 ||
         head.compare(0, 6, "delete") == 0 || head.compare(0, 7, "replace") == 0;
}

struct Registry {
  std::string ddl;
  std::map<std::string, std::shared_ptr<const Procedure>> procs;  // lower-case name
  std::shared_mutex mutex;
};

Registry& TheRegistry() {
  static Registry* reg = [] {
    Registry* r = new Registry();
    std::istringstream in(kqHubnodeSchemaSql);
    std::string line;
    std::shared_ptr<Procedure> cur;
    std::string body;
    while (std::getline(in, line)) {
      std::string t = Trim(line);
      if (t.compare(0, 4, "-- @") == 0) {
        std::istringstream words(t.substr(4));
        std::string tag, name, option;
        int args = 0;
        words >> tag >> name >> args >> option;
        if (tag == "end" && cur) {
          cur->statements = SplitStatements(body);
          for (const std::string& s : cur->statements) cur->writes = cur->writes || Writes(s);
          if (cur->kind == Procedure::kHost) cur->host = BuiltInHostBody(cur->name);
          r->procs[Lower(cur->name)] = cur;
          cur.reset();
        } else if (tag == "procedure" || tag == "batch" || tag == "host") {
          cur = std::make_shared<Procedure>();
          cur->name = name;
          cur->argCount = args;
          cur->kind = tag == "procedure" ? Procedure::kSql
                      : tag == "batch"   ? Procedure::kBatch
                                         : Procedure::kHost;
          cur->writes = option == "writes";
          body.clear();
        }
        continue;
      }
      if (cur) {
        if (t.compare(0, 2, "--") != 0) body += line + "\n";
      } else {
        r->ddl += line + "\n";
      }
    }
    return r;
  }();
  return *reg;
}

}  // namespace

const char* SchemaFileText() { return kqHubnodeSchemaSql; }

const std::string& SchemaScript() { return TheRegistry().ddl; }

std::shared_ptr<const Procedure> FindProcedure(const std::string& name) {
  Registry& r = TheRegistry();
  std::shared_lock<std::shared_mutex> lock(r.mutex);
  auto it = r.procs.find(Lower(name));
  return it == r.procs.end() ? nullptr : it->second;
}

void RegisterHostProcedure(const std::string& name, int argCount, HostBody body) {
  auto p = std::make_shared<Procedure>();
  p->name = name;
  p->kind = Procedure::kHost;
  p->argCount = argCount;
  p->host = std::move(body);
  Registry& r = TheRegistry();
  std::unique_lock<std::shared_mutex> lock(r.mutex);
  auto it = r.procs.find(Lower(name));
  if (it != r.procs.end()) {
    p->name = it->second->name;
    p->writes = it->second->writes;
  }
  r.procs[Lower(name)] = p;
}

int RunProcedure(Session& session, const Procedure& proc, const std::vector<Value>& args,
                 std::vector<Row>& rows, std::string& err) {
  rows.clear();
  if (static_cast<int>(args.size()) != proc.argCount) {
    err = "procedure " + proc.name + " takes " + std::to_string(proc.argCount) +
          " arguments, " + std::to_string(args.size()) + " given";
    return kDbFailed;
  }
  if (proc.kind == Procedure::kHost) {
    if (!proc.host) {
      err = "procedure " + proc.name +
            " builds or reads message XML and has no body in this build";
      return kDbFailed;
    }
    bool own = proc.writes && !session.inTransaction();
    if (own && !session.begin(true, err)) return kDbFailed;
    if (proc.writes && !own && !session.lockForWrite(err)) return kDbFailed;
    int rc = proc.host(session, args, rows, err);
    if (rc != kDbRow && rc != kDbNoData) {
      if (own) session.rollback();
      rows.clear();
      if (err.empty()) err = "procedure " + proc.name + " failed";
      return kDbFailed;
    }
    if (own && !session.commit(err)) {
      session.rollback();
      rows.clear();
      return kDbFailed;
    }
    return rows.empty() ? kDbNoData : kDbRow;
  }
  bool ownTransaction = !session.inTransaction() && (proc.writes || proc.statements.size() > 1);
  if (ownTransaction && !session.begin(proc.writes, err)) return kDbFailed;
  if (proc.writes && !ownTransaction && !session.lockForWrite(err)) return kDbFailed;
  int rc = kDbNoData;
  for (size_t i = 0; i < proc.statements.size(); ++i) {
    bool last = i + 1 == proc.statements.size();
    rc = ExecuteSql(session, proc.statements[i], args, last ? &rows : nullptr, err);
    if (rc == kDbFailed) {
      err = "procedure " + proc.name + ": " + err;
      if (ownTransaction) session.rollback();
      rows.clear();
      return kDbFailed;
    }
  }
  if (ownTransaction && !session.commit(err)) {
    session.rollback();
    rows.clear();
    return kDbFailed;
  }
  return rows.empty() ? kDbNoData : kDbRow;
}

}  // namespace db
}  // namespace kq
