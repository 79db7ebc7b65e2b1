-- The emulated Hubnode database: its tables, and the bodies of its stored procedures and SQL
-- batches, in SQL that both SQLite and PostgreSQL run.
--
-- Portability rules kept throughout: identifiers are unquoted (case-insensitive everywhere);
-- parameters are $1, $2, ...; a parameter whose type nothing around it fixes is CAST; texts are
-- TEXT (the layer cuts fixed-width columns); no serial types: a row id that a procedure assigns
-- is MAX(id) + 1 inside the procedure's transaction; upserts use ON CONFLICT ... DO UPDATE.
--
-- Blocks marked "-- @procedure <name> <number of arguments>" and "-- @batch ..." hold the
-- statements of a procedure; the last statement gives its rows. "-- @host ..." declares a
-- procedure that reads or builds message XML: its body is C++ code built into the layer (a
-- procedure without one fails with a message that says so); "writes" after the number of
-- arguments runs the body in one write transaction. Everything outside the blocks is the
-- schema, created once in a new database.

CREATE TABLE IF NOT EXISTS KqSchemaInfo (
  name TEXT NOT NULL PRIMARY KEY,
  version INTEGER NOT NULL
);
INSERT INTO KqSchemaInfo (name, version) VALUES ('Hubnode', 1) ON CONFLICT (name) DO NOTHING;

-- ---------------------------------------------------------------- tables read through records

-- Product releases: id = major version + 5.
CREATE TABLE IF NOT EXISTS simAllVorlanRel (
  id INTEGER NOT NULL PRIMARY KEY,
  release TEXT,
  buildNum INTEGER
);

CREATE TABLE IF NOT EXISTS simPackage (
  id INTEGER NOT NULL PRIMARY KEY,
  Name TEXT,
  DisplayName TEXT,
  Rank INTEGER,
  Hierarchy TEXT,
  DescriptionID BIGINT,
  InstallableFromGUI INTEGER,
  SortID INTEGER,
  flag INTEGER
);

-- Binary sets and their operating-system ids, old style and new style (0: none).
CREATE TABLE IF NOT EXISTS PatchUpdateOS (
  BinarySetID INTEGER NOT NULL PRIMARY KEY,
  UpdateOSID INTEGER,
  NewUpdateOSID INTEGER
);

CREATE TABLE IF NOT EXISTS JMJobInfo (
  jobId INTEGER NOT NULL,
  initFrom INTEGER,
  opType INTEGER,
  userId INTEGER,
  clientPriority INTEGER,
  opPriority INTEGER,
  appPriority INTEGER,
  combPriority INTEGER,
  currentPhase INTEGER,
  jobStartTime INTEGER,
  attemptStartTime INTEGER,
  serverEndTime INTEGER,
  jobElapsedTime INTEGER,
  elapsedTime INTEGER,
  lastStartOrRun INTEGER,
  phaseParams TEXT,
  restartString TEXT,
  startAttempts INTEGER,
  runAttempts INTEGER,
  state INTEGER,
  pendingCause INTEGER,
  restartable INTEGER,
  appArgs TEXT,
  numOfFailures INTEGER,
  failureReason TEXT,
  preemptable INTEGER,
  taskLinkID INTEGER,
  percentcomplete INTEGER,
  displayState INTEGER,
  tessaraId INTEGER NOT NULL,
  resourcesAllocated INTEGER,
  currentContext INTEGER,
  libraryList TEXT,
  driveList TEXT,
  opUsername TEXT,
  phaseOnSuccess INTEGER,
  interruptedPhase INTEGER,
  errorType INTEGER,
  licenseVerified INTEGER,
  currentPhaseName TEXT,
  timeToComplete INTEGER,
  lastUpdateFromClient INTEGER,
  lastStateChangeTime BIGINT,
  jobCategory INTEGER,
  recoveredFromServiceRestart INTEGER,
  noOfGUIMonitors INTEGER,
  isScheduledAlert INTEGER,
  jobBasedAlertId INTEGER,
  alertName TEXT,
  shortTapewright TEXT,
  seqNumber BIGINT,
  activeFile TEXT,
  guiAlertColorLevel INTEGER,
  jobDescription TEXT,
  xmlJobInfo TEXT,
  subOpType INTEGER,
  foreignToken TEXT,
  preparedJobId INTEGER,
  PRIMARY KEY (jobId, tessaraId)
);

CREATE TABLE IF NOT EXISTS simBinarySet (
  id INTEGER NOT NULL PRIMARY KEY,
  name TEXT,
  processorID INTEGER,
  processorName TEXT,
  procDisplayName TEXT
);

CREATE TABLE IF NOT EXISTS PatchClientStatus (
  JobStatus INTEGER NOT NULL PRIMARY KEY,
  MessageId BIGINT,
  ShortName TEXT,
  Category INTEGER
);

CREATE TABLE IF NOT EXISTS JMFailureReasonMsg (
  id INTEGER NOT NULL PRIMARY KEY,
  messageId INTEGER,
  paramNum INTEGER,
  errorType INTEGER,
  tessaraId INTEGER,
  jobId INTEGER,
  client TEXT,
  subsystem TEXT,
  copyId INTEGER,
  rcId INTEGER,
  reservationId INTEGER,
  flags INTEGER,
  guiAlertColorLevel INTEGER,
  clientVersion INTEGER,
  serverVersion INTEGER,
  Zub INTEGER,
  opType INTEGER,
  phaseNumber INTEGER,
  customMessageId INTEGER,
  failureReasonTime INTEGER
);

CREATE TABLE IF NOT EXISTS JMFailureReasonMsgParam (
  msgId INTEGER NOT NULL,
  eventid INTEGER,
  position INTEGER NOT NULL,
  type INTEGER,
  size INTEGER,
  data TEXT,
  PRIMARY KEY (msgId, position)
);

CREATE TABLE IF NOT EXISTS EvLocaleMsgs (
  SubsystemID INTEGER,
  SubsystemName TEXT,
  LocaleID INTEGER NOT NULL,
  MessageID BIGINT NOT NULL,
  MessageNum INTEGER,
  Message TEXT,
  ArgCount INTEGER,
  hasKBArticle INTEGER,
  PRIMARY KEY (LocaleID, MessageID)
);

-- Licence usage rows per client; the latest row of a client has the greatest id.
CREATE TABLE IF NOT EXISTS LicUsage (
  id INTEGER NOT NULL PRIMARY KEY,
  Name TEXT,
  CId INTEGER,
  LicType INTEGER,
  AppType INTEGER,
  OpType TEXT,
  OpTimeUTC TIMESTAMP,
  TokensUsed INTEGER,
  Eval INTEGER,
  ExpiryDateUTC TIMESTAMP,
  ReleaseId INTEGER,
  EncryptedField TEXT,
  SimOSID INTEGER,
  Build TEXT,
  InstallFlag INTEGER,
  UserID INTEGER,
  UsedCapacity REAL
);
-- The latest row of one client (MAX(id) per CId) is read once per client.
CREATE INDEX IF NOT EXISTS LicUsage_CId_id ON LicUsage (CId, id);

-- Feature releases and service packs known from the download center.
CREATE TABLE IF NOT EXISTS PatchSPVersion (
  id INTEGER NOT NULL PRIMARY KEY,
  ReleaseStr TEXT,
  BuildIdString TEXT,
  DVDName TEXT,
  Build INTEGER,
  Release INTEGER,
  SPMajor INTEGER,
  SPMinor INTEGER,
  TransactionID INTEGER,
  SPName TEXT,
  FriendlyName TEXT,
  Timestamp BIGINT,
  bIsDVDPresent INTEGER,
  bShowInGUI INTEGER,
  nCacheFlags INTEGER,
  nLTSFlag INTEGER,
  RevisionID INTEGER,
  nBootstrapperDelayDays INTEGER,
  nGUIDownloadDelayDays INTEGER
);
CREATE INDEX IF NOT EXISTS PatchSPVersion_Level ON PatchSPVersion (Release, Build, SPMajor, SPMinor);

-- ------------------------------------------------ supporting tables of procedures and batches

-- Clients of the Tessara (id 2 is the Hubnode's own client).
CREATE TABLE IF NOT EXISTS APP_Client (
  id INTEGER NOT NULL PRIMARY KEY,
  name TEXT,
  net_hostname TEXT,
  kqdPort INTEGER,
  evmgrcPort INTEGER,
  simOperatingSystemId INTEGER,
  releaseId INTEGER
);

-- Client properties; attrName 'Vorlan Build' holds the client's build number, 'BinarySetID'
-- its binary set.
CREATE TABLE IF NOT EXISTS APP_ClientProp (
  componentNameId INTEGER NOT NULL,
  attrName TEXT NOT NULL,
  attrVal TEXT,
  PRIMARY KEY (componentNameId, attrName)
);

CREATE TABLE IF NOT EXISTS simInstalledPackages (
  ClientId INTEGER NOT NULL,
  simPackageID INTEGER NOT NULL,
  PRIMARY KEY (ClientId, simPackageID)
);

-- Patch information per client, beside what APP_Client holds.
CREATE TABLE IF NOT EXISTS PatchClientInfo (
  ClientId INTEGER NOT NULL PRIMARY KEY,
  HighestSP INTEGER,
  MissingPatches TEXT,
  baseline INTEGER,
  v11InstallTime INTEGER,
  osType INTEGER,
  platType INTEGER,
  linkedFailoverClient INTEGER
);

-- The version installed on each client: its feature release (database release id, build,
-- service pack, recut stamps) and its update pack (number 0: none).
CREATE TABLE IF NOT EXISTS PatchClientVersion (
  ClientId INTEGER NOT NULL PRIMARY KEY,
  Release INTEGER NOT NULL,
  Build INTEGER NOT NULL,
  SPMajor INTEGER NOT NULL,
  SPMinor INTEGER NOT NULL DEFAULT 0,
  TransactionId INTEGER NOT NULL DEFAULT 0,
  RevisionId INTEGER NOT NULL DEFAULT 0,
  CUNumber INTEGER NOT NULL DEFAULT 0,
  CUTransactionId INTEGER NOT NULL DEFAULT 0,
  CUFriendlyName TEXT NOT NULL DEFAULT ''
);

-- Download configuration of the Hubnode (one row).
CREATE TABLE IF NOT EXISTS PatchConfig (
  id INTEGER NOT NULL PRIMARY KEY,
  DownloadProtocol TEXT,
  HNCacheDirectory TEXT,
  FTPSite TEXT,
  FTPUsername TEXT,
  FTPPassword TEXT,
  FTPUsePassive INTEGER,
  HTTPSite TEXT,
  HTTPUseToken INTEGER,
  ConfigURLPrefix TEXT,
  DownloadDelayDays INTEGER,
  TessaraID INTEGER
);

-- (version, operating system) sides whose media a client's cache holds.
CREATE TABLE IF NOT EXISTS PatchClientOS (
  ClientId INTEGER NOT NULL,
  Release INTEGER NOT NULL,
  Build INTEGER NOT NULL,
  SPMajor INTEGER NOT NULL,
  SPMinor INTEGER NOT NULL,
  TransactionId INTEGER NOT NULL,
  RevisionId INTEGER NOT NULL,
  OSId INTEGER NOT NULL,
  PRIMARY KEY (ClientId, Release, Build, SPMajor, SPMinor, TransactionId, RevisionId, OSId)
);

-- Media (DVD) versions recorded per release, build and operating system.
CREATE TABLE IF NOT EXISTS PatchDVDInfo (
  Release INTEGER NOT NULL,
  Build INTEGER NOT NULL,
  OSId INTEGER NOT NULL,
  SPMajor INTEGER NOT NULL,
  SPMinor INTEGER NOT NULL,
  TransactionId INTEGER NOT NULL,
  RevisionId INTEGER NOT NULL,
  PRIMARY KEY (Release, Build, OSId, TransactionId, RevisionId)
);

-- Service-pack versions and their database ids.
CREATE TABLE IF NOT EXISTS simSPVersion (
  id INTEGER NOT NULL PRIMARY KEY,
  Release INTEGER NOT NULL,
  Build INTEGER NOT NULL,
  SPMajor INTEGER NOT NULL,
  SPMinor INTEGER NOT NULL,
  TransactionId INTEGER NOT NULL,
  RevisionId INTEGER NOT NULL,
  VersionText TEXT
);

-- Updates recorded per service-pack version.
CREATE TABLE IF NOT EXISTS PatchUpdateInfo (
  Release INTEGER NOT NULL,
  Build INTEGER NOT NULL,
  SPMajor INTEGER NOT NULL,
  SPMinor INTEGER NOT NULL,
  TransactionId INTEGER NOT NULL,
  UpdateName TEXT NOT NULL,
  Kind INTEGER NOT NULL,
  PRIMARY KEY (Release, Build, SPMajor, SPMinor, TransactionId, UpdateName, Kind)
);

-- Maintenance releases (update packs) per media version.
CREATE TABLE IF NOT EXISTS PatchUPVersion (
  Release INTEGER NOT NULL,
  Build INTEGER NOT NULL,
  SPMajor INTEGER NOT NULL,
  SPMinor INTEGER NOT NULL,
  TransactionId INTEGER NOT NULL,
  CUNumber INTEGER NOT NULL,
  CUTransactionId INTEGER NOT NULL,
  IsAvailableForDownload INTEGER,
  IsShownInGUI INTEGER,
  FriendlyName TEXT,
  PRIMARY KEY (Release, Build, SPMajor, SPMinor, TransactionId, CUNumber)
);

-- Operating systems (MainOSType 2) and MSSQL versions (1) of appliance clients.
CREATE TABLE IF NOT EXISTS APP_ApplianceOS (
  ClientId INTEGER NOT NULL,
  OSNameVersion TEXT NOT NULL,
  MainOSType INTEGER NOT NULL,
  IsEligible INTEGER,
  PRIMARY KEY (ClientId, OSNameVersion)
);

-- Appliance versions whose patches were committed.
CREATE TABLE IF NOT EXISTS PatchApplianceVersion (
  OSNameVersion TEXT NOT NULL PRIMARY KEY,
  ConfigXml TEXT
);

-- Remote-cache synchronisation status per job and client.
CREATE TABLE IF NOT EXISTS PatchUAStatus (
  jobId INTEGER NOT NULL,
  clientId INTEGER NOT NULL,
  status INTEGER,
  flag INTEGER,
  PRIMARY KEY (jobId, clientId)
);

-- Content configuration of each remote cache (an XML text).
CREATE TABLE IF NOT EXISTS PatchUAContentConfig (
  clientId INTEGER NOT NULL PRIMARY KEY,
  configXml TEXT,
  optimalSync INTEGER
);

-- What each client's software cache holds per release and operating system.
CREATE TABLE IF NOT EXISTS PatchMultiCache (
  ClientId INTEGER NOT NULL,
  Release INTEGER NOT NULL,
  OSType INTEGER NOT NULL,
  HighestSP TEXT,
  IsSPValid INTEGER,
  AddUpdates TEXT,
  TransactionId INTEGER,
  RevisionId INTEGER,
  UpdatePackNumber INTEGER,
  FriendlyName TEXT,
  PRIMARY KEY (ClientId, Release, OSType)
);

-- Alerts raised (EvAlertEx): category, type, flags, release text, the Hubnode's upgrade time,
-- the client ids in the order given ("3,5,40"), when and by which process it was raised.
CREATE TABLE IF NOT EXISTS EvAlert (
  id INTEGER NOT NULL PRIMARY KEY,
  Category INTEGER NOT NULL,
  Type INTEGER NOT NULL,
  Flags INTEGER NOT NULL,
  ReleaseText TEXT NOT NULL,
  UpgradeTime BIGINT NOT NULL,
  ClientIds TEXT NOT NULL,
  RaisedTime BIGINT NOT NULL,
  ProcessId INTEGER NOT NULL
);

-- The texts of an alert in order (Seq from 0), as raised.
CREATE TABLE IF NOT EXISTS EvAlertText (
  AlertId INTEGER NOT NULL,
  Seq INTEGER NOT NULL,
  Text TEXT NOT NULL,
  PRIMARY KEY (AlertId, Seq)
);

-- ------------------------------------------------------------------------ stored procedures

-- @procedure FtpServicePackInfoSelectOps 5
-- (option, release text, service-pack major, 0, delay days): the service packs of the release
-- text at or above the given major that are shown in the GUI, newest first. The option and the
-- delay days select nothing further here.
SELECT SPName, SPMajor, SPMinor, ReleaseStr, BuildIdString, Timestamp, bIsDVDPresent, DVDName,
       bShowInGUI, FriendlyName, TransactionID, RevisionID
  FROM PatchSPVersion
 WHERE ReleaseStr = $2 AND SPMajor >= $3 AND bShowInGUI <> 0
 ORDER BY SPMajor DESC, SPMinor DESC, TransactionID DESC, RevisionID DESC;
-- @end

-- @procedure PatchGetConfig 0
-- The download configuration (its first row).
SELECT DownloadProtocol, HNCacheDirectory, FTPSite, FTPUsername, FTPPassword, FTPUsePassive,
       HTTPSite, HTTPUseToken, ConfigURLPrefix, DownloadDelayDays, TessaraID
  FROM PatchConfig ORDER BY id LIMIT 1;
-- @end

-- @procedure SimGetSPVersionId 9
-- (release id, build, major, minor, transaction id, revision id, version text, 0, 0): the id of
-- that service-pack version, recorded first when it is new.
INSERT INTO simSPVersion (id, Release, Build, SPMajor, SPMinor, TransactionId, RevisionId,
                          VersionText)
SELECT (SELECT COALESCE(MAX(id), 0) + 1 FROM simSPVersion), CAST($1 AS INTEGER),
       CAST($2 AS INTEGER), CAST($3 AS INTEGER), CAST($4 AS INTEGER), CAST($5 AS INTEGER),
       CAST($6 AS INTEGER), CAST($7 AS TEXT)
 WHERE NOT EXISTS (SELECT 1 FROM simSPVersion
                    WHERE Release = $1 AND Build = $2 AND SPMajor = $3 AND SPMinor = $4
                      AND TransactionId = $5 AND RevisionId = $6);
SELECT id FROM simSPVersion
 WHERE Release = $1 AND Build = $2 AND SPMajor = $3 AND SPMinor = $4 AND TransactionId = $5
   AND RevisionId = $6;
-- @end

-- @procedure GetClientBuildAndReleaseInfo 1
-- (client id, or 0 for all): client id, release id and build text ('' when unknown). One
-- client is found through the key (an "id = 0 OR" condition would read every client).
SELECT c.id, c.releaseId, COALESCE(p.attrVal, '')
  FROM APP_Client c
  LEFT JOIN APP_ClientProp p ON p.componentNameId = c.id AND p.attrName = 'Vorlan Build'
 WHERE c.id = $1
UNION ALL
SELECT c.id, c.releaseId, COALESCE(p.attrVal, '')
  FROM APP_Client c
  LEFT JOIN APP_ClientProp p ON p.componentNameId = c.id AND p.attrName = 'Vorlan Build'
 WHERE CAST($1 AS INTEGER) = 0
 ORDER BY 1;
-- @end

-- @procedure PatchGetUpdateStatus 7
-- (release id, build, major, minor, transaction id, update name, kind): how many matching
-- updates are recorded (above 0: the update exists). Always one row.
SELECT COUNT(*) FROM PatchUpdateInfo
 WHERE Release = $1 AND Build = $2 AND SPMajor = $3 AND SPMinor = $4 AND TransactionId = $5
   AND UpdateName = $6 AND Kind = $7;
-- @end

-- @procedure PatchGetDVDStatus 4
-- (release id, build, OS id, maximum media transaction id): the newest media recorded for them
-- up to that transaction id: 1, major, minor, revision id; else 0, 0, 0, 0. Always one row.
SELECT f, m, n, r FROM (
  SELECT 1 AS f, SPMajor AS m, SPMinor AS n, RevisionId AS r FROM PatchDVDInfo
   WHERE Release = $1 AND Build = $2 AND OSId = $3 AND TransactionId <= $4
   ORDER BY TransactionId DESC, RevisionId DESC LIMIT 1) newest
UNION ALL
SELECT 0, 0, 0, 0
 WHERE NOT EXISTS (SELECT 1 FROM PatchDVDInfo
                    WHERE Release = $1 AND Build = $2 AND OSId = $3 AND TransactionId <= $4);
-- @end

-- @procedure PatchGetOSes 1
-- (client id): the (version, operating system) sides that client's cache holds.
SELECT Release, Build, SPMajor, SPMinor, TransactionId, RevisionId, OSId
  FROM PatchClientOS WHERE ClientId = $1
 ORDER BY Release, Build, SPMajor, SPMinor, TransactionId, RevisionId, OSId;
-- @end

-- @procedure SimGetApplianceOSes 1
-- (client id, or 0 for all): the operating systems and MSSQL versions of appliance clients.
SELECT DISTINCT OSNameVersion, MainOSType FROM APP_ApplianceOS
 WHERE CAST($1 AS INTEGER) = 0 OR ClientId = $1
 ORDER BY MainOSType, OSNameVersion;
-- @end

-- @procedure SimGetUPInfo 9
-- (release id, build, major, minor, transaction id, maintenance-release number, Hubnode version
-- XML, installed transaction id, mode): the highest maintenance release of that media version
-- whose transaction id reaches the installed one; with mode 3 only the given number. The XML
-- argument is not read.
SELECT CUNumber, CUTransactionId, IsAvailableForDownload, IsShownInGUI FROM PatchUPVersion
 WHERE Release = $1 AND Build = $2 AND SPMajor = $3 AND SPMinor = $4 AND TransactionId = $5
   AND CUTransactionId >= $8 AND (CAST($9 AS INTEGER) <> 3 OR CUNumber = $6)
 ORDER BY CUNumber DESC LIMIT 1;
-- @end

-- @procedure PatchUpdateApplianceEligibility 0
-- Marks the appliance clients whose version has committed patches as eligible (the others as
-- not); the row gives the number of eligible clients.
UPDATE APP_ApplianceOS SET IsEligible = CASE WHEN EXISTS (
         SELECT 1 FROM PatchApplianceVersion v WHERE v.OSNameVersion = APP_ApplianceOS.OSNameVersion)
       THEN 1 ELSE 0 END;
SELECT COUNT(*) FROM APP_ApplianceOS WHERE IsEligible = 1;
-- @end

-- @procedure PatchGetUAStatus 2
-- (job id, client id): the synchronisation status and flag; no row when none is stored.
SELECT status, flag FROM PatchUAStatus WHERE jobId = $1 AND clientId = $2;
-- @end

-- @procedure PatchUpdateUAStatus 4
-- (job id, client id, status, flag): stores the status and flag; no rows.
INSERT INTO PatchUAStatus (jobId, clientId, status, flag) VALUES ($1, $2, $3, $4)
ON CONFLICT (jobId, clientId) DO UPDATE SET status = excluded.status, flag = excluded.flag;
-- @end

-- @procedure GetPatchUAContentConfig 4
-- (2, client id, 0, 0): the stored content configuration XML of the client; no row when none.
SELECT configXml FROM PatchUAContentConfig WHERE clientId = $2;
-- @end

-- @procedure SetPatchUAContentConfig 3
-- (client id, XML text, optimal-sync flag): stores the configuration; the row counts the
-- client's stored configurations (1).
INSERT INTO PatchUAContentConfig (clientId, configXml, optimalSync) VALUES ($1, $2, $3)
ON CONFLICT (clientId) DO UPDATE SET configXml = excluded.configXml,
                                     optimalSync = excluded.optimalSync;
SELECT COUNT(*) FROM PatchUAContentConfig WHERE clientId = $1;
-- @end

-- @procedure GetPatchMultiCacheInfo 5
-- (client id, release id, OS id, two pass-through values): what the client's cache holds for
-- that release and operating system.
SELECT ClientId, Release, OSType, HighestSP, IsSPValid, AddUpdates, TransactionId, RevisionId,
       UpdatePackNumber, FriendlyName
  FROM PatchMultiCache WHERE ClientId = $1 AND Release = $2 AND OSType = $3;
-- @end

-- @procedure PatchGetClientsWithVersionInfo 0
-- Every client with its release, highest service pack, missing patches ('None' when unknown),
-- build text and platform data.
SELECT c.id, COALESCE(v.HighestSP, 0), COALESCE(v.MissingPatches, 'None'),
       COALESCE(v.baseline, 0), COALESCE(c.releaseId, 0), COALESCE(p.attrVal, ''),
       COALESCE(v.v11InstallTime, 0), COALESCE(v.osType, c.simOperatingSystemId, 0),
       COALESCE(v.platType, 0), COALESCE(v.linkedFailoverClient, 0)
  FROM APP_Client c
  LEFT JOIN PatchClientInfo v ON v.ClientId = c.id
  LEFT JOIN APP_ClientProp p ON p.componentNameId = c.id AND p.attrName = 'Vorlan Build'
 ORDER BY c.id;
-- @end

-- ------------------------------------------- procedures with a host body (message XML)
-- The bodies are C++ (HubnodeHostBodies.cpp), built into the layer. A media version travels as
-- an SPVersion message: 6 database release id, 7 build, 1 major, 2 minor, 4 transaction id,
-- 3 revision id; a FullVersion adds an UpdatePack: 1 number, 2 transaction id, 5 friendly name.
-- Numbers read from XML must fit 32 bits; a text that does not parse as the message named
-- fails the call (1000), and a writing body then leaves every table as it was.

-- @host SimGetFullVersionAndOSInfo 0
-- An InstalledVerOs message: each distinct version of PatchClientVersion with the operating
-- systems (APP_Client.simOperatingSystemId above 0) of the clients that run it, ordered by
-- version and OS id. Clients without an operating system are left out, so that no version
-- comes without one. Always one row; no versions gives a message without a list.
-- @end

-- @host SimGetClientPackageFullVersion 2
-- (client id, 0): the client's FullVersion message from PatchClientVersion (its update pack
-- always present, number 0 when none); no row when the client has no version recorded. The
-- second argument selects nothing.
-- @end

-- @host PatchUpdateDVDInfo 3 writes
-- (DVDInfo XML, visibility flag, private builds allowed): records the feature releases of the
-- release-information file in PatchSPVersion. The file is a DVDInfo message (UpdatePatches
-- 1100) whose list (1/1) holds one DVDInfoRelease (1101) per feature release: 1/1 release text
-- ("11.0.0"), 2/2 build text ("BUILD80"), 3/3 service-pack name ("SP20", "SP12a"), 4/4 DVD
-- name, 5/5 friendly name, 6/6 transaction id, 7/7 revision id, 8/8 timestamp (seconds since
-- the epoch), 9/9 shown in the GUI (1 when absent), 10/10 private build (0 when absent).
-- Each entry becomes a row with the release id (major version + 5), the build number, major
-- and minor of the name (minor 0 or the letter's code; a name that is not a service-pack name
-- keeps major 0 and its text), nCacheFlags 1 and bIsDVDPresent 0; an entry already recorded
-- (same release text, build text, name, transaction and revision id) is updated in place, so
-- the same text again changes nothing. Skipped: an entry without release text, build text or
-- name, with a release or build that does not parse, with a transaction or revision id of 0,
-- and a private build unless private builds are allowed. The visibility flag selects nothing
-- here. A text that is not a DVDInfo message fails (1000) and changes nothing; the row gives
-- the number of entries recorded.
-- @end

-- @host SimUpdateUPVersion 2 writes
-- (AvailableCumulativeUpdatePacks XML, format flag): each update pack (with a number) of each
-- entry with an SPVersion is recorded in PatchUPVersion under that media version (release id,
-- build, major, minor, transaction id), with its transaction id and friendly name, available
-- and shown; a pack already recorded is updated. The row gives the number of packs recorded
-- (also 0). Both formats decode to the same message, so the flag selects nothing.
-- @end

-- @host SimGetAllCUs 1
-- (SPVersion XML): a CacheUpdateInfo message with one MediaSet per maintenance release of
-- that media version (PatchUPVersion, by release id, build, major, minor and transaction id)
-- and operating system of the media (PatchDVDInfo of the same version, any revision), ordered
-- by number and OS id; each set carries the given SPVersion as it came. Always one row; none
-- gives a message without a list.
-- @end

-- @host PatchApplianceCommit 2 writes
-- (KQApplianceOSPatches XML, comma-separated appliance versions): each listed version (blanks
-- around it dropped) that the configuration has a sub-OS section for is recorded in
-- PatchApplianceVersion with the configuration text, replacing an earlier one; versions the
-- configuration has no patches for are not recorded. The row gives the number recorded.
-- @end

-- @host PatchGetLatestDVDForSP 1
-- (service-pack name): a FullVersion message of the PatchSPVersion row of that SPName with the
-- highest transaction id, then revision id (update pack number 0); no row when none.
-- @end

-- @host SimGetUpdatesNeedsDownload 6
-- (major, minor, transaction id, HotfixList XML, its checksum, visibility flag): per update-OS
-- id (PatchUpdateOS NewUpdateOSID of the entry's binary set, 1 to 34) the names of the entries
-- still to download, in file order, ", "-separated, in rows of at most 255 bytes (a continued
-- list starts with ", "). Left out: an entry whose transaction id is set, not 0 and not above
-- the given one; one recorded in PatchUpdateInfo for that major, minor and transaction id;
-- with the flag 1, one whose visibility flag is set and not 0. An empty text gives no rows.
-- The checksum only names the file's content; the text is read every time.
-- @end

-- @host GetFtpServicePackInfo 1
-- (GetFTPServicePackInfoReq XML): a GetFTPServicePackInfoResp message whose SPCUInfo list
-- names, once each, the service packs of PatchSPVersion with the request's release text
-- (ReleaseStr), by major and minor; without any the list is left out. A request without a
-- release text fails. Always one row.
-- @end

-- ------------------------------------------------------------------------------ SQL batches

-- @batch GetRelAndAppId 1
-- (client id): one row per package installed on the client, with the client's release id and
-- "0(" + its build property + ")"; no rows without the build property.
SELECT SIP.simPackageID, AP.releaseId, '0(' || APP.attrVal || ')'
  FROM simInstalledPackages SIP, APP_Client AP, APP_ClientProp APP
 WHERE SIP.ClientId = $1 AND AP.id = $1
   AND APP.componentNameId = $1 AND APP.attrName = 'Vorlan Build'
 ORDER BY SIP.simPackageID;
-- @end

-- @batch GetClientAndOS 1
-- (client id): the client's host name, name, ports and operating-system id (twice).
SELECT C.net_hostname, C.name, C.kqdPort, C.evmgrcPort, C.simOperatingSystemId,
       C.simOperatingSystemId
  FROM APP_Client C WHERE C.id = $1;
-- @end
