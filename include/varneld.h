/*
 * varneld.h - the RAID setup library interface.
 *
 * Creates, changes and removes the RAID devices of the tape engine. The
 * embedded implementation, libvarneld, keeps them in the engine's registry
 * store (one RAID<n> key per RAID device), where libmox finds them as the
 * groups RGROUP<n>. All numbers are 16-bit unsigned; operations 201 to 501
 * return 0 for success and a nonzero VARNELD_E_* status otherwise.
 */
#ifndef ZEPHLORN_VARNELD_H_
#define ZEPHLORN_VARNELD_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define VARNELD_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VARNELD_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define VARNELD_OK 0
#define VARNELD_E_HOME 1       /* the engine home or registry is unusable */
#define VARNELD_E_NO_RAID 2    /* no such RAID device */
#define VARNELD_E_NO_DEVICE 3  /* no such device */
#define VARNELD_E_IN_USE 4     /* the device is a member of another RAID device */
#define VARNELD_E_NOT_MEMBER 5 /* the device is not a member of this RAID device */
#define VARNELD_E_LEVEL 6      /* level not 0, 1 or 5 */
#define VARNELD_E_FULL 7       /* member or RAID device table full */
#define VARNELD_E_REGISTRY 8   /* the registry store refused a read or write */
#define VARNELD_E_ALREADY 9    /* the device is already a member of this RAID device */
#define VARNELD_E_RANGE 10     /* link position above 255 */
#define VARNELD_E_ARGUMENT 11  /* a result pointer is missing */
#define VARNELD_E_LAYOUT 12    /* the change would leave a RAID 5 device of one or two drives */
#define VARNELD_E_BUSY 13      /* a group the change affects is being written */

#pragma pack(push, 1)

typedef struct SetupDeviceRecord {
  uint16_t deviceNumber; /* 0 */
  uint16_t board;        /* 2 */
  uint16_t bus;          /* 4 */
  uint16_t targetId;     /* 6 */
  uint16_t lun;          /* 8 */
  uint16_t deviceType;   /* 10 */
  uint8_t pad[2];        /* 12 */
  char inquiry[130];     /* 14 */
} SetupDeviceRecord;

typedef struct SetupRaidRecord {
  uint16_t raidNumber;  /* 0 */
  uint16_t memberCount; /* 2 */
  uint16_t members[32]; /* 4 */
  uint8_t stripeSize;   /* 68 */
  uint8_t level;        /* 69 */
  uint8_t linkPosition; /* 70 */
  uint8_t tapeSize;     /* 71 */
  uint8_t pad[88];      /* 72 */
} SetupRaidRecord;

#pragma pack(pop)

VARNELD_STATIC_ASSERT(sizeof(SetupDeviceRecord) == 144, "SetupDeviceRecord size");
VARNELD_STATIC_ASSERT(offsetof(SetupDeviceRecord, deviceType) == 10, "deviceType");
VARNELD_STATIC_ASSERT(offsetof(SetupDeviceRecord, inquiry) == 14, "inquiry");
VARNELD_STATIC_ASSERT(sizeof(SetupRaidRecord) == 160, "SetupRaidRecord size");
VARNELD_STATIC_ASSERT(offsetof(SetupRaidRecord, members) == 4, "members");
VARNELD_STATIC_ASSERT(offsetof(SetupRaidRecord, stripeSize) == 68, "stripeSize");
VARNELD_STATIC_ASSERT(offsetof(SetupRaidRecord, level) == 69, "level");
VARNELD_STATIC_ASSERT(offsetof(SetupRaidRecord, linkPosition) == 70, "linkPosition");
VARNELD_STATIC_ASSERT(offsetof(SetupRaidRecord, tapeSize) == 71, "tapeSize");

uint16_t VARNELDInitialize(void);
uint16_t VARNELDGetDeviceCount(uint16_t* count);
uint16_t VARNELDGetDeviceInfo(uint16_t index, SetupDeviceRecord* device);
uint16_t VARNELDGetRaidInfo(uint16_t raidNumber, SetupRaidRecord* raid);
/* checkFlag 1: normal assignment, refused when the device belongs to another
 * RAID device; 0: forced, the device moves from that RAID device. */
uint16_t VARNELDAssignDevice(uint16_t raidNumber, uint16_t deviceNumber, uint16_t checkFlag);
uint16_t VARNELDRemoveDevice(uint16_t raidNumber, uint16_t deviceNumber);
uint16_t VARNELDCreateRaid(uint16_t level, uint16_t linkPosition, uint16_t* raidNumber);
uint16_t VARNELDRemoveRaid(uint16_t raidNumber);
uint16_t VARNELDSetRaidLevel(uint16_t raidNumber, uint16_t level);
uint16_t VARNELDSetLinkPosition(uint16_t raidNumber, uint16_t linkPosition);

#ifdef __cplusplus
}
#endif

#endif /* ZEPHLORN_VARNELD_H_ */
