/*
 * mox.h - the tape service library interface.
 *
 * Every tape operation of zephlorn goes through these calls. The embedded
 * implementation is libmox, a file-backed virtual tape engine; any other
 * library that exports the same symbols with the same records can be dropped
 * in without rebuilding the program.
 *
 * All records are packed, little-endian, with fields at fixed byte offsets.
 * Every operation returns 0 on success or one of the MOX_E_* codes below.
 */
#ifndef ZEPHLORN_MOX_H_
#define ZEPHLORN_MOX_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define MOX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define MOX_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---- Result codes (stable; listed in the README) ---------------------- */
#define MOX_OK 0
#define MOX_E_CONTINUATION 163  /* read: the stream continues on the next cartridge set */
#define MOX_E_TAPE_FULL 170     /* write: the block does not fit; nothing was stored */
#define MOX_E_NOT_SUPPORTED 1001   /* operation not provided by this engine */
#define MOX_E_ENGINE_STOPPED 1002  /* the engine is stopped (moxctl stop) */
#define MOX_E_HOME 1003            /* the engine home is missing or unusable */
#define MOX_E_BAD_HANDLE 1004      /* unknown or closed handle */
#define MOX_E_INVALID_ARG 1005     /* an argument is out of range or malformed */
#define MOX_E_NO_GROUP 1006        /* no such group */
#define MOX_E_NO_GROUP_SELECTED 1007 /* the handle has no group selected */
#define MOX_E_LEVEL_UNSUPPORTED 1008 /* RAID level not supported by this engine */
#define MOX_E_BUSY 1009            /* the group is being written by another process */
#define MOX_E_NO_TAPE 1010         /* no cartridge available for the group */
#define MOX_E_NOT_CONNECTED 1011   /* no cartridge connected */
#define MOX_E_NO_SESSION 1012      /* no such session on the cartridges */
#define MOX_E_SESSION_STATE 1013   /* call not valid in the session's current state */
#define MOX_E_NO_STREAM 1014       /* no such stream in the session */
#define MOX_E_STREAM_LIMIT 1015    /* the session has no further streams to hand out */
#define MOX_E_END_OF_STREAM 1016   /* read: the stream has no further block */
#define MOX_E_NO_BUFFERS 1017      /* the buffer pool is exhausted */
#define MOX_E_CHECKSUM 1018        /* a record failed its CRC32C check */
#define MOX_E_MEDIA 1019           /* cartridge file truncated, corrupt or foreign */
#define MOX_E_IO 1020              /* an operating-system I/O call failed */
#define MOX_E_NO_DEVICE 1021       /* no such device */
#define MOX_E_NO_RAID 1022         /* no such RAID device */
#define MOX_E_ACCESS 1023          /* access mode does not allow the call */
#define MOX_E_DEGRADED 1024        /* too many members missing to serve the data */
#define MOX_E_CONFIG 1025          /* the RAID configuration in the registry is invalid */
#define MOX_E_NO_BLANK 1026        /* no blank cartridge left in the pool */

/* ---- Constants ---------------------------------------------------------- */
#define MOX_BLOCK_SIZE 65536u        /* bytes in one block buffer */
#define MOX_ACCESS_WRITE 1u
#define MOX_ACCESS_READ 2u
#define MOX_ACCESS_BOTH 3u
#define MOX_HANDLE_MODE_SESSION 1u   /* handles of session tests */
#define MOX_HANDLE_MODE_ADMIN 8u     /* every other handle */
#define MOX_CONNECTION_LOCAL 1u
#define MOX_CONNECTION_REMOTE 2u
#define MOX_DEVICE_TYPE_TAPE 5u
#define MOX_MAX_RAID_MEMBERS 19u     /* members a RaidInfoRecord can list */
#define MOX_SESSION_END_BUFFER_SIZE 544u
#define MOX_FORMAT_OUTPUT_SIZE 512u
#define MOX_FORMAT_MODE_RAID 1u      /* format a RAID device's cartridges (console) */
#define MOX_FORMAT_MODE_SPAN 2u      /* format the cartridges of a tape change */
#define MOX_DEBUG_LEVEL_MAX 10u

typedef uint32_t MoxHandle; /* 0 is never a valid handle */

#pragma pack(push, 1)

/* Request of MOXCreateHandle, passed by value. */
typedef struct HandleCreationRecord {
  uint32_t handleMode;      /* 0: 1 session tests, 8 everything else */
  char serverName[64];      /* 4: " " = the local machine */
  char clientName[52];      /* 68: "TEST" or "Merge" */
  uint32_t connectionType;  /* 120: 1 local, 2 remote */
  uint8_t reserved[80];     /* 124 */
} HandleCreationRecord;

typedef struct MoxVersionRecord {
  uint8_t unused[4];        /* 0 */
  char name[48];            /* 4: library name or version text */
  char oem[10];             /* 52 */
  uint8_t major;            /* 62 */
  uint8_t minor;            /* 63 */
  uint8_t revision;         /* 64 */
  char revisionDate[12];    /* 65 */
  char revisionTime[10];    /* 77 */
  char description[41];     /* 87 */
} MoxVersionRecord;

/* Argument of MOXEnumTape; its tapeEntry is passed on to MOXConnecttoTape. */
typedef struct TapeEnumRecord {
  uint32_t first;           /* 0: caller sets 0 */
  uint32_t second;          /* 4: caller sets 1 */
  uint8_t library[204];     /* 8: the library's own */
  uint8_t tapeEntry[144];   /* 212: the tape entry */
} TapeEnumRecord;

/* Request of MOXFormatTape; the caller zero-fills it. */
typedef struct TapeFormatRecord {
  uint8_t pad0[19];
  uint8_t formatMode;       /* 19: 1 RAID console, 2 tape change / format before test */
  uint8_t pad1[26];
  char tapeName[24];        /* 46 */
  uint16_t sessionNumber;   /* 70 */
  uint8_t pad2[299];
  int32_t expirationTime;   /* 371: calendar seconds */
  uint8_t pad3[137];
} TapeFormatRecord;

typedef struct DeviceResultEntry {
  int32_t result;           /* 0: result of the operation on this member */
  uint16_t ldn;             /* 4: logical device number of the member */
  uint8_t valid;            /* 6: exactly 1 when the entry holds a result */
  uint8_t unused;           /* 7 */
} DeviceResultEntry;

typedef struct DeviceResultList {
  DeviceResultEntry entries[32];
} DeviceResultList;

typedef struct MoxDeviceRecord {
  uint8_t pad0[9];
  uint8_t targetId;         /* 9 */
  uint8_t lun;              /* 10 */
  uint8_t bus;              /* 11 */
  uint8_t pad1[12];
  char inquiry[32];         /* 24: vendor, product, revision */
  uint32_t deviceType;      /* 56: 5 = tape */
  uint16_t board;           /* 60 */
  uint8_t pad2[410];
} MoxDeviceRecord;

typedef struct RaidInfoRecord {
  uint8_t pad0[9];
  uint8_t level;            /* 9 */
  uint16_t memberCount;     /* 10 */
  uint8_t pad1[2];
  uint16_t members[19];     /* 14: member device numbers */
  uint32_t tapeFlag;        /* 52 */
  uint32_t capFlag;         /* 56 */
  uint8_t stripSize;        /* 60 */
  uint8_t pad2[3];
} RaidInfoRecord;

/* How a read of a session reached one member of the selected group: passes
 * over the member's part of the session front to back, and the rewinds and
 * spacings of its cartridges (all 0 where the engine reads at addresses). */
typedef struct MemberReadRecord {
  uint32_t passes;
  uint32_t rewinds;
  uint32_t spacings;
  uint32_t reserved;
} MemberReadRecord;

/* What one member's tape drive was doing as the engine saw it, over the
 * window MOXGetDriveActivity began: the time at least one command waited at
 * the drive (busyUs: it had work and could stream), commands waiting summed
 * over time (inFlightUs; the mean is inFlightUs / windowUs), the spells
 * with nothing waiting (gaps: the drive starved or stopped), the bytes its
 * READs and WRITEs moved, and its identity as set up and the cartridge the
 * home says it holds. */
typedef struct DriveActivityRecord {
  uint16_t drive;           /* 0: the engine's drive number */
  uint16_t member;          /* 2: its member of the group */
  uint32_t maxInFlight;     /* 4 */
  uint64_t windowUs;        /* 8 */
  uint64_t busyUs;          /* 16 */
  uint64_t inFlightUs;      /* 24 */
  uint64_t commands;        /* 32 */
  uint64_t gaps;            /* 40: the one still open included */
  uint64_t longestGapUs;    /* 48 */
  uint64_t p99GapUs;        /* 56: within a quarter of a power of two */
  uint64_t bytesWritten;    /* 64 */
  uint64_t bytesRead;       /* 72 */
  uint32_t events;          /* 80: its motion events in the window */
  uint32_t eventsLeftOut;   /* 84: events past the engine's 256 a drive */
  char vendor[9];           /* 88: NUL-terminated */
  char product[17];         /* 97 */
  char revision[5];         /* 114 */
  char serial[33];          /* 119 */
  char barcode[16];         /* 152 */
} DriveActivityRecord;

/* A load, unload, rewind, spacing or locate of a member's drive. */
#define MOX_DRIVE_EVENT_LOAD 0
#define MOX_DRIVE_EVENT_UNLOAD 1
#define MOX_DRIVE_EVENT_REWIND 2
#define MOX_DRIVE_EVENT_SPACE 3
#define MOX_DRIVE_EVENT_LOCATE 4
typedef struct DriveEventRecord {
  uint16_t member;          /* 0 */
  uint16_t kind;            /* 2: MOX_DRIVE_EVENT_* */
  uint32_t reserved;        /* 4 */
  uint64_t atUs;            /* 8: from the window's start */
  uint64_t durationUs;      /* 16: until the drive answered */
} DriveEventRecord;

/* MOXGetDriveActivity: a new window begins once the drives are read. */
#define MOX_ACTIVITY_RESTART 0x1u

/* What one member's tape drive counted of its own work between two readings
 * of MOXGetDriveCounters, as the drive keeps it in its log pages and its data
 * compression mode page: errors corrected and not on write (page 02h) and on
 * read (03h), bytes through the drive (0Ch), its compression ratios (1Bh, as
 * they are at the second reading), the TapeAlert flags raised at either
 * reading (2Eh), and whether it compresses now (mode page 0Fh). A field
 * counts only when its bit is in present: a page the drive does not keep,
 * or a counter that went down between the readings (the drive cleared its
 * log), is missing, never 0. */
typedef struct DriveCountersRecord {
  uint16_t drive;             /* 0: the engine's drive number */
  uint16_t member;            /* 2: its member of the group */
  uint32_t present;           /* 4: MOX_COUNTERS_* bits */
  uint64_t writeCorrected;    /* 8: errors corrected on write */
  uint64_t writeUncorrected;  /* 16 */
  uint64_t readCorrected;     /* 24 */
  uint64_t readUncorrected;   /* 32 */
  uint64_t bytesFromHost;     /* 40: received from the host, before compression */
  uint64_t bytesToMedium;     /* 48: written to the medium */
  uint64_t bytesFromMedium;   /* 56: read from the medium */
  uint64_t bytesToHost;       /* 64: sent to the host */
  uint64_t tapeAlert;         /* 72: bit n-1 set for TapeAlert flag n raised */
  uint32_t writeRatio;        /* 80: compression ratio x100 (250: 2.5 to 1) */
  uint32_t readRatio;         /* 84 */
  uint8_t compression;        /* 88: MOX_COMPRESSION_* bits */
  uint8_t reserved[7];        /* 89 */
} DriveCountersRecord;

/* Bits of DriveCountersRecord.present. */
#define MOX_COUNTERS_READ 0x1u              /* the drive was reached and read */
#define MOX_COUNTERS_LOG_PAGES 0x2u         /* it lists its log pages (page 00h) */
#define MOX_COUNTERS_WRITE_CORRECTED 0x4u
#define MOX_COUNTERS_WRITE_UNCORRECTED 0x8u
#define MOX_COUNTERS_READ_CORRECTED 0x10u
#define MOX_COUNTERS_READ_UNCORRECTED 0x20u
#define MOX_COUNTERS_BYTES_FROM_HOST 0x40u
#define MOX_COUNTERS_BYTES_TO_MEDIUM 0x80u
#define MOX_COUNTERS_BYTES_FROM_MEDIUM 0x100u
#define MOX_COUNTERS_BYTES_TO_HOST 0x200u
#define MOX_COUNTERS_WRITE_RATIO 0x400u
#define MOX_COUNTERS_READ_RATIO 0x800u
#define MOX_COUNTERS_TAPE_ALERT 0x1000u     /* the TapeAlert page was read */
#define MOX_COUNTERS_COMPRESSION 0x2000u    /* the data compression mode page was read */
/* Bits of DriveCountersRecord.compression. */
#define MOX_COMPRESSION_DCE 0x1u  /* data is compressed on write */
#define MOX_COMPRESSION_DDE 0x2u  /* compressed data is decompressed on read */
#define MOX_COMPRESSION_DCC 0x4u  /* the drive can compress */

/* MOXGetDriveCounters: this reading is the first of the next two. */
#define MOX_COUNTERS_RESTART 0x1u

typedef struct RaidTapeInfoRecord {
  char tapeName[24];        /* 0 */
  int32_t randomId;         /* 24 */
  int32_t sequence;         /* 28 */
  uint16_t formatCode;      /* 32 */
  uint8_t mediaType;        /* 34 */
  uint8_t density;          /* 35 */
  int32_t expiration;       /* 36 */
  int32_t blockSize;        /* 40 */
  uint8_t pad[36];
} RaidTapeInfoRecord;

#pragma pack(pop)

/* Bits of RaidInfoRecord.tapeFlag. */
#define MOX_TAPE_FLAG_MOUNTED 0x1u    /* every member has a cartridge */
#define MOX_TAPE_FLAG_DEGRADED 0x2u   /* a member's cartridge is missing or damaged */
#define MOX_TAPE_FLAG_LABELLED 0x4u   /* the cartridges carry a label */
/* Bits of RaidInfoRecord.capFlag. */
#define MOX_CAP_FLAG_COMPRESSION 0x1u /* compression is on */
#define MOX_CAP_FLAG_REDUNDANT 0x2u   /* the level survives one lost member */

MOX_STATIC_ASSERT(sizeof(HandleCreationRecord) == 204, "HandleCreationRecord size");
MOX_STATIC_ASSERT(offsetof(HandleCreationRecord, serverName) == 4, "serverName");
MOX_STATIC_ASSERT(offsetof(HandleCreationRecord, clientName) == 68, "clientName");
MOX_STATIC_ASSERT(offsetof(HandleCreationRecord, connectionType) == 120, "connectionType");
MOX_STATIC_ASSERT(offsetof(HandleCreationRecord, reserved) == 124, "reserved");
MOX_STATIC_ASSERT(sizeof(MoxVersionRecord) == 128, "MoxVersionRecord size");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, name) == 4, "name");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, oem) == 52, "oem");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, major) == 62, "major");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, minor) == 63, "minor");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, revision) == 64, "revision");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, revisionDate) == 65, "revisionDate");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, revisionTime) == 77, "revisionTime");
MOX_STATIC_ASSERT(offsetof(MoxVersionRecord, description) == 87, "description");
MOX_STATIC_ASSERT(sizeof(TapeEnumRecord) == 356, "TapeEnumRecord size");
MOX_STATIC_ASSERT(offsetof(TapeEnumRecord, second) == 4, "second");
MOX_STATIC_ASSERT(offsetof(TapeEnumRecord, library) == 8, "library");
MOX_STATIC_ASSERT(offsetof(TapeEnumRecord, tapeEntry) == 212, "tapeEntry");
MOX_STATIC_ASSERT(sizeof(TapeFormatRecord) == 512, "TapeFormatRecord size");
MOX_STATIC_ASSERT(offsetof(TapeFormatRecord, formatMode) == 19, "formatMode");
MOX_STATIC_ASSERT(offsetof(TapeFormatRecord, tapeName) == 46, "tapeName");
MOX_STATIC_ASSERT(offsetof(TapeFormatRecord, sessionNumber) == 70, "sessionNumber");
MOX_STATIC_ASSERT(offsetof(TapeFormatRecord, expirationTime) == 371, "expirationTime");
MOX_STATIC_ASSERT(sizeof(DeviceResultEntry) == 8, "DeviceResultEntry size");
MOX_STATIC_ASSERT(offsetof(DeviceResultEntry, ldn) == 4, "ldn");
MOX_STATIC_ASSERT(offsetof(DeviceResultEntry, valid) == 6, "valid");
MOX_STATIC_ASSERT(sizeof(DeviceResultList) == 256, "DeviceResultList size");
MOX_STATIC_ASSERT(sizeof(MoxDeviceRecord) == 472, "MoxDeviceRecord size");
MOX_STATIC_ASSERT(offsetof(MoxDeviceRecord, targetId) == 9, "targetId");
MOX_STATIC_ASSERT(offsetof(MoxDeviceRecord, lun) == 10, "lun");
MOX_STATIC_ASSERT(offsetof(MoxDeviceRecord, bus) == 11, "bus");
MOX_STATIC_ASSERT(offsetof(MoxDeviceRecord, inquiry) == 24, "inquiry");
MOX_STATIC_ASSERT(offsetof(MoxDeviceRecord, deviceType) == 56, "deviceType");
MOX_STATIC_ASSERT(offsetof(MoxDeviceRecord, board) == 60, "board");
MOX_STATIC_ASSERT(sizeof(RaidInfoRecord) == 64, "RaidInfoRecord size");
MOX_STATIC_ASSERT(offsetof(RaidInfoRecord, level) == 9, "level");
MOX_STATIC_ASSERT(offsetof(RaidInfoRecord, memberCount) == 10, "memberCount");
MOX_STATIC_ASSERT(offsetof(RaidInfoRecord, members) == 14, "members");
MOX_STATIC_ASSERT(offsetof(RaidInfoRecord, tapeFlag) == 52, "tapeFlag");
MOX_STATIC_ASSERT(offsetof(RaidInfoRecord, capFlag) == 56, "capFlag");
MOX_STATIC_ASSERT(offsetof(RaidInfoRecord, stripSize) == 60, "stripSize");
MOX_STATIC_ASSERT(sizeof(RaidTapeInfoRecord) == 80, "RaidTapeInfoRecord size");
MOX_STATIC_ASSERT(sizeof(MemberReadRecord) == 16, "MemberReadRecord size");
MOX_STATIC_ASSERT(sizeof(DriveActivityRecord) == 168, "DriveActivityRecord size");
MOX_STATIC_ASSERT(offsetof(DriveActivityRecord, vendor) == 88, "vendor");
MOX_STATIC_ASSERT(offsetof(DriveActivityRecord, barcode) == 152, "barcode");
MOX_STATIC_ASSERT(sizeof(DriveEventRecord) == 24, "DriveEventRecord size");
MOX_STATIC_ASSERT(sizeof(DriveCountersRecord) == 96, "DriveCountersRecord size");
MOX_STATIC_ASSERT(offsetof(DriveCountersRecord, present) == 4, "present");
MOX_STATIC_ASSERT(offsetof(DriveCountersRecord, writeCorrected) == 8, "writeCorrected");
MOX_STATIC_ASSERT(offsetof(DriveCountersRecord, bytesFromHost) == 40, "bytesFromHost");
MOX_STATIC_ASSERT(offsetof(DriveCountersRecord, tapeAlert) == 72, "tapeAlert");
MOX_STATIC_ASSERT(offsetof(DriveCountersRecord, writeRatio) == 80, "writeRatio");
MOX_STATIC_ASSERT(offsetof(DriveCountersRecord, compression) == 88, "compression");
MOX_STATIC_ASSERT(offsetof(RaidTapeInfoRecord, randomId) == 24, "randomId");
MOX_STATIC_ASSERT(offsetof(RaidTapeInfoRecord, sequence) == 28, "sequence");
MOX_STATIC_ASSERT(offsetof(RaidTapeInfoRecord, formatCode) == 32, "formatCode");
MOX_STATIC_ASSERT(offsetof(RaidTapeInfoRecord, mediaType) == 34, "mediaType");
MOX_STATIC_ASSERT(offsetof(RaidTapeInfoRecord, density) == 35, "density");
MOX_STATIC_ASSERT(offsetof(RaidTapeInfoRecord, expiration) == 36, "expiration");
MOX_STATIC_ASSERT(offsetof(RaidTapeInfoRecord, blockSize) == 40, "blockSize");

/* ---- RAID daemon status block ------------------------------------------
 * While a handle has RAID group n selected, the engine publishes this block
 * as POSIX shared memory named MOX_STATUS_NAME_FORMAT with n (0 to 9). All
 * fields are 32-bit little-endian unsigned at the byte offsets below. */
#define MOX_STATUS_NAME_FORMAT "QOV_RAID_DATA_%d"
#define MOX_STATUS_BLOCK_SIZE 8204u
#define MOX_STATUS_MAX_DAEMONS 10u
#define MOX_STATUS_OFF_STATE 0u          /* 1 while active */
#define MOX_STATUS_OFF_ENTRY_COUNT 4120u /* entries (active streams) */
#define MOX_STATUS_OFF_FREE 4816u        /* free[i] at 4816 + 56 * i */
#define MOX_STATUS_FREE_STRIDE 56u
#define MOX_STATUS_MAX_ENTRIES 60u       /* entries that fit the block */
#define MOX_STATUS_OFF_FULL 4876u        /* queued (full) buffers */
#define MOX_STATUS_OFF_TD 5072u          /* td[j] at 5072 + 52 * j, j = 0..3 */
#define MOX_STATUS_TD_STRIDE 52u
#define MOX_STATUS_TD_COUNT 4u           /* per-member block counters */
#define MOX_STATUS_OFF_PL 6752u          /* buffer pool size */
#define MOX_STATUS_OFF_OWNER 4u          /* process id of the publishing process */
/* The publishing process holds an open-file-description read lock
 * (F_OFD_SETLK) on the 4 bytes of MOX_STATUS_OFF_OWNER for as long as it
 * owns the block; the kernel drops it when the process dies. A block whose
 * state is 1 while nobody holds that lock and its owner process is gone
 * was left by a dead process. */

/* ---- Operations ----------------------------------------------------------- */

/* Handles. */
int32_t MOXCreateHandle(MoxHandle* handle, HandleCreationRecord request);
int32_t MOXCloseHandle(MoxHandle handle);
int32_t MOXGetVersion(MoxHandle handle, MoxVersionRecord* version);

/* Devices. typeFilter 0xFFFF lists every type. */
int32_t MOXEnumDevices(MoxHandle handle, uint16_t* count, uint16_t* reserved,
                       uint16_t typeFilter);
int32_t MOXGetDeviceInfo(MoxHandle handle, uint16_t index, MoxDeviceRecord* device);

/* Groups and cartridges. access: 1 write, 2 read, 3 both. */
int32_t MOXSelectGroup(MoxHandle handle, const char* groupName, uint32_t access);
int32_t MOXReleaseGroup(MoxHandle handle);
int32_t MOXEnumTape(MoxHandle handle, TapeEnumRecord* tapes);
int32_t MOXConnecttoTape(MoxHandle handle, uint32_t zero, uint8_t* tapeEntry, uint32_t* value,
                         uint32_t access);
int32_t MOXDisconnectTape(MoxHandle handle);

/* Sessions and streams. Streams of a session are numbered from 0. */
int32_t MOXGototNewSession(MoxHandle handle, int32_t* sessionNumber);
int32_t MOXGototSession(MoxHandle handle, int32_t sessionNumber);
int32_t MOXStartSession(MoxHandle handle, int32_t sessionNumber, uint16_t streamCount,
                        uint16_t* startStream);
/* countOrOne and oneOrCount are the stream count and the constant 1, in
 * either order; streamTotal receives the session's number of streams. */
int32_t MOXStartReadSession(MoxHandle handle, int32_t sessionNumber, uint16_t countOrOne,
                            uint16_t oneOrCount, const uint16_t* streamList,
                            uint16_t* streamTotal);
int32_t MOXEndSession(MoxHandle handle, uint8_t* endBuffer /* 544 bytes */);
int32_t MOXRAIDGotoNewStream(MoxHandle handle, uint16_t* streamNumber);
int32_t MOXRAIDGotoStream(MoxHandle handle, uint16_t previousStream, uint16_t nextStream);

/* Blocks: may be called by up to 20 threads at once on one handle. */
int32_t MOXGetFreeBuffers(MoxHandle handle, uint8_t** buffer, uint32_t count, uint32_t* value);
int32_t MOXRAIDWriteBlockDaemon(MoxHandle handle, uint8_t* buffer, uint16_t streamNumber);
int32_t MOXRAIDReadBlockDaemon(MoxHandle handle, uint8_t** block, uint32_t* value,
                               uint16_t streamNumber);
int32_t MOXReleaseBuffers(MoxHandle handle, uint8_t* block, uint32_t count);

/* Spanning. */
int32_t MOXContinueBlock(MoxHandle handle);
int32_t MOXContinueSession(MoxHandle handle, int32_t sessionNumber);
int32_t MOXPrepareContinuation(MoxHandle handle);
int32_t MOXFormatTape(MoxHandle handle, uint16_t raidNumber, const TapeFormatRecord* request,
                      uint8_t* output /* 512 bytes */, DeviceResultList* results);

/* RAID information and media operations. */
int32_t MOXGetRaidCount(MoxHandle handle, uint16_t* count, uint16_t* maximum, uint32_t flags);
int32_t MOXGetRaidInfo(MoxHandle handle, uint16_t raidNumber, RaidInfoRecord* info);
int32_t MOXGetRaidTapeInfo(MoxHandle handle, uint16_t raidNumber, RaidTapeInfoRecord* info);
int32_t MOXGetGroupType(MoxHandle handle, const char* groupName, uint16_t* groupType);
int32_t MOXEraseRaid(MoxHandle handle, uint16_t raidNumber, uint32_t mode,
                     DeviceResultList* results);
/* on: -1 (all bits set) for on, 0 for off. */
int32_t MOXSetRaidCompression(MoxHandle handle, uint16_t raidNumber, int32_t on,
                              DeviceResultList* results);
int32_t MOXEjectRaid(MoxHandle handle, uint16_t raidNumber, DeviceResultList* results);
int32_t MOXRebuildRaid(MoxHandle handle, uint16_t raidNumber, uint16_t* buildNumber,
                       uint16_t* rebuildNumber);
int32_t MOXRebuildRaidMedia(MoxHandle handle, uint16_t raidNumber, uint16_t buildDevice,
                            uint16_t rebuildDevice, DeviceResultList* results);

/* Diagnostics: level 0 to 10, persisted in the engine home. */
int32_t MOXSetDebugLevel(MoxHandle handle, uint32_t level, uint32_t reserved);
/* Why the engine's drives failed since the group was selected or a session
 * sought, as one line naming the drive, the cartridge, the command and the
 * sense ("" when nothing failed, and always on cartridge files); asking
 * forgets it. At most size - 1 bytes and a NUL go to text. */
int32_t MOXGetErrorText(MoxHandle handle, char* text, uint32_t size);
/* What the session read now on the selected group, else the last one read
 * since a session was sought, cost each member: one record per member into
 * members (room for room), their number in *count (0 when no session was
 * read). */
int32_t MOXGetMemberReads(MoxHandle handle, MemberReadRecord* members, uint16_t room,
                          uint16_t* count);
/* What the selected group's member drives were doing since their window
 * began (the first call, or the last with MOX_ACTIVITY_RESTART in flags):
 * one record per member into drives (room for room, their number in
 * *count) and their load, unload, rewind, space and locate events in time
 * order into events (eventRoom, *eventCount; events may be NULL with
 * eventRoom 0). MOX_E_NOT_SUPPORTED on a home of cartridge files, whose
 * media are no drives. Without MOX_ACTIVITY_RESTART it may be called from
 * another thread while block calls run, as often as each second, and
 * neither waits for them nor holds them up. */
int32_t MOXGetDriveActivity(MoxHandle handle, uint32_t flags, DriveActivityRecord* drives,
                            uint16_t room, uint16_t* count, DriveEventRecord* events,
                            uint16_t eventRoom, uint16_t* eventCount);
/* What the selected group's member drives counted of their own work since
 * the last reading with MOX_COUNTERS_RESTART in flags (a member without one
 * has every counter missing; its TapeAlert flags and compression mode are
 * those of this reading): one record per member into drives (room for room,
 * their number in *count). With MOX_COUNTERS_RESTART this reading is kept as
 * the first of the next difference. The drives are read with LOG SENSE and
 * MODE SENSE on each member's own session, which nothing else may use
 * meanwhile: only while the group has no session open (MOX_E_SESSION_STATE
 * from a session's start, or its positioning, to its end), with the
 * cartridges connected (a member whose cartridge is not reached through its
 * drive is not read: present 0). A unit attention or a lost session met on
 * the way is the member's, as after its own command. Unlike
 * MOXGetDriveActivity it is never called while block calls run: it waits
 * for them and holds them up like a control call. MOX_E_NOT_SUPPORTED on a
 * home of cartridge files, whose media are no drives. */
int32_t MOXGetDriveCounters(MoxHandle handle, uint32_t flags, DriveCountersRecord* drives,
                            uint16_t room, uint16_t* count);
/* The name of TapeAlert flag `flag` (1 to 64), as tape drives name it
 * ("Clean now"), or "TapeAlert flag 0xNN" for one without a name: at most
 * size - 1 bytes and a NUL go to name. MOX_E_INVALID_ARG for a flag out of
 * range. Needs no handle. */
int32_t MOXGetTapeAlertName(uint32_t flag, char* name, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* ZEPHLORN_MOX_H_ */
