// KQInstalledPackages: which packages the Hubnode database records as installed on a client.
//
// The look-up runs on the calling thread's connection, so inside a transaction the thread has
// open (DBtran) it reads within that transaction.
#ifndef KQ_PLATFORM_DATABASE_KQINSTALLEDPACKAGES_H_
#define KQ_PLATFORM_DATABASE_KQINSTALLEDPACKAGES_H_

#pragma GCC visibility push(default)

class KQInstalledPackages {
 public:
  // Sets installed to whether simInstalledPackages holds (client, package); 0, or 1000 when
  // the database cannot be read (installed then untouched).
  static int IsPackageInstalled(int clientId, int packageId, bool& installed);
};

#pragma GCC visibility pop

#endif  // KQ_PLATFORM_DATABASE_KQINSTALLEDPACKAGES_H_
