// Cursor record GetClientAndOS: a client's host name, name, ports and operating-system id. The
// batch keeps its original text (printed with the client id for logs); the database runs its
// portable equivalent with the id bound.
#ifndef KQ_INCLUDE_DB_CURSOR_GETCLIENTANDOS_H_
#define KQ_INCLUDE_DB_CURSOR_GETCLIENTANDOS_H_

#pragma GCC visibility push(default)

#include "Db/KqDbRecord.h"

#define GetClientAndOS_COLUMNS(C)    \
  C(svClientInterfaceName, s, 129) \
  C(svClientName, s, 129)          \
  C(nvkqdPort, i, 0)               \
  C(nvevmgrcPort, i, 0)            \
  C(nvSimOSId, i, 0)               \
  C(nvSimSystemOSId, i, 0)
KQDB_CURSOR(GetClientAndOS,
            "SET NOCOUNT ON "
            "\n\tSET NOCOUNT ON "
            "\n\tDECLARE @ClientId integer "
            "\n\tSET @ClientId =%d "
            "\n\tSELECT     C.net_hostname, C.name, C.kqdPort, C.evmgrcPort, "
            "C.simOperatingSystemId, C.simOperatingSystemId "
            "\n\tFROM         APP_Client C "
            "\n\tWHERE     (C.id = @ClientId) "
            "\n\tSET NOCOUNT OFF "
            "\n\tSET NOCOUNT OFF")

#pragma GCC visibility pop

#endif  // KQ_INCLUDE_DB_CURSOR_GETCLIENTANDOS_H_
