// Test base for the data-manager suites: a private database of the run's backend, a store
// with the Hubnode's Tessara id, the standard event sink and a Hubnode data manager over them.
#ifndef KQ_TESTS_SUPPORT_DATAMANAGERTESTENV_H_
#define KQ_TESTS_SUPPORT_DATAMANAGERTESTENV_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Database/DbProcedures.h"
#include "KqDbTestEnv.h"
#include "nPatchDownload/CPatchDataManagerHN.h"
#include "nPatchDownload/CPatchDebug.h"

namespace kqtest {

// Gives a procedure a test body for the object's life, then its built-in body again.
class ScopedHostBody {
 public:
  ScopedHostBody(const std::string& name, int argCount, kq::db::HostBody body)
      : name_(name), argCount_(argCount) {
    kq::db::RegisterHostProcedure(name, argCount, std::move(body));
  }
  ~ScopedHostBody() {
    kq::db::RegisterHostProcedure(name_, argCount_, kq::db::BuiltInHostBody(name_));
  }
  ScopedHostBody(const ScopedHostBody&) = delete;
  ScopedHostBody& operator=(const ScopedHostBody&) = delete;

  // A body that answers one row with one text.
  static kq::db::HostBody Answer(const std::string& text) {
    return [text](kq::db::Session&, const std::vector<kq::db::Value>&,
                  std::vector<kq::db::Row>& rows, std::string&) {
      rows.push_back({kq::db::Value::Text(text)});
      return 0;
    };
  }
  static kq::db::HostBody Fail() {
    return [](kq::db::Session&, const std::vector<kq::db::Value>&, std::vector<kq::db::Row>&,
              std::string& err) {
      err = "refused by the test";
      return 1000;
    };
  }

 private:
  std::string name_;
  int argCount_;
};

class DataManagerTest : public ::testing::Test {
 protected:
  DataManagerTest() {
    db.config().set("Hubnode", "nTessaraId", "4242");
    sink.reset(new nPatchDownload::CPatchDebug());
    int status = -1;
    manager.reset(new nPatchDownload::CPatchDataManagerHN(*sink, status));
    EXPECT_EQ(status, 0);
  }

  // A fresh sink and manager (no specific error, empty caches).
  void Renew() {
    manager.reset();
    sink.reset(new nPatchDownload::CPatchDebug());
    int status = -1;
    manager.reset(new nPatchDownload::CPatchDataManagerHN(*sink, status));
  }

  std::string Log() { return ReadFile(db.config().logFile()); }
  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }
  size_t TimesLogged(const std::string& text) {
    const std::string log = Log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  }
  int SpecificError() {
    int id = 0;
    KQJobStatus status;
    std::queue<nPatchDownload::tErrorDetails> details;
    sink->GetErrorDetails(id, status, details);
    return id;
  }

  ScopedDatabase db;
  std::unique_ptr<nPatchDownload::CPatchDebug> sink;
  std::unique_ptr<nPatchDownload::CPatchDataManagerHN> manager;
};

}  // namespace kqtest

#endif  // KQ_TESTS_SUPPORT_DATAMANAGERTESTENV_H_
