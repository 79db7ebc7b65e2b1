// Cursor record GetRelAndAppId: the packages installed on a client, with the client's release
// id and build text. The batch keeps its original text (printed with the client id for logs);
// the database runs its portable equivalent with the id bound.
#ifndef KQ_INCLUDE_DB_CURSOR_GETRELANDAPPID_H_
#define KQ_INCLUDE_DB_CURSOR_GETRELANDAPPID_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define GetRelAndAppId_COLUMNS(C) \
  C(nvAppId, i, 0)                \
  C(svRelease, s, 129)            \
  C(svBuildString, s, 129)
KQDB_CURSOR(GetRelAndAppId,
            "SET NOCOUNT ON "
            "\n\tSET NOCOUNT ON "
            "\n\tDECLARE @ClientId integer "
            "\n\tSET @ClientId = %d "
            "\n\tSELECT SIP.simPackageID,AP.releaseId,('0('+ APP.attrVal + ')')  FROM "
            "simInstalledPackages SIP, App_Client AP, APP_ClientProp APP "
            "\n\tWHERE SIP.ClientId = @ClientId AND AP.id = @ClientId AND (APP.componentNameId = "
            "@ClientId AND APP.attrName = 'Vorlan Build') "
            "\n\tSET NOCOUNT OFF "
            "\n\tSET NOCOUNT OFF")

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_CURSOR_GETRELANDAPPID_H_
