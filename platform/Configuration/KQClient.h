// KQClient and ClientProperties: what the library asks about the clients of the Tessara.
//
// Clients are kept in the configuration store, one section per client, "Client<id>", with the
// values "sName", "sGUID", "dHOME" (install folder) and "nReleaseId". Client 2 is the local
// Hubnode: its install folder is "Base"/"dHOME", its name "sPhysicalNodeName" of the root section
// when it has no "Client2" section of its own, and its release id, when not stored, is the major
// number of the root "sProductVersion" plus 5.
#ifndef KQ_PLATFORM_CONFIGURATION_KQCLIENT_H_
#define KQ_PLATFORM_CONFIGURATION_KQCLIENT_H_

#pragma GCC visibility push(default)

#include <string>

class KQClient {
 public:
  explicit KQClient(unsigned long clientId);
  // Looks a client up by name (case-insensitive); the flag and the number are unused here.
  KQClient(const std::string& name, bool, int);

  // 0 on success; 2 (not found) when the client or its value is unknown.
  int getInstallDirectory(std::string& folder, int, void*) const;
  int getName(std::string& name) const;
  int getGUIDStr(std::string& guid) const;
  // The client's id, or 0 when the name given to the constructor matched no client.
  unsigned long getClientId(unsigned long& clientId) const;
  // The release id; 0 when none is known.
  unsigned getReleaseId() const;

 private:
  std::string value(const char* name) const;
  unsigned long id_ = 0;
};

// Per-client properties: the cache figures that remote caches report (kept in the configuration
// store, "ClientProperties<id>") and the client's binary set (its "BinarySetID" row in the
// Hubnode database's APP_ClientProp, beside its build property).
class ClientProperties {
 public:
  explicit ClientProperties(unsigned long clientId) : id_(clientId) {}
  void setClientId(unsigned long clientId) { id_ = clientId; }
  unsigned long getClientId() const { return id_; }
  // 0 on success, non-zero when the store cannot be written.
  int setCacheExpectedSpace(unsigned long long bytes, int);
  int setFreeSpaceOnDisk(unsigned long long bytes, int);
  // The client's binary-set id; 0 when it has none, the value is not a number, or the database
  // cannot be read.
  unsigned long getBinarySetID() const;

 private:
  unsigned long id_;
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_CONFIGURATION_KQCLIENT_H_
