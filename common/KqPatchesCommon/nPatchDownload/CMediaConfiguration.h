// CMediaConfiguration: one download source as the media-access library receives it. It lives
// with media access, which reads it, in platform/MediaAccess/CMediaConfiguration.h; this name
// stays for the patch library's users.
#ifndef KQPATCHESCOMMON_NPATCHDOWNLOAD_CMEDIACONFIGURATION_H_
#define KQPATCHESCOMMON_NPATCHDOWNLOAD_CMEDIACONFIGURATION_H_

#pragma GCC visibility push(default)

#include "MediaAccess/CMediaConfiguration.h"

#pragma GCC visibility pop

#endif  // KQPATCHESCOMMON_NPATCHDOWNLOAD_CMEDIACONFIGURATION_H_
