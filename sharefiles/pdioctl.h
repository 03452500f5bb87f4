/*
 * pdioctl.h - the device-control interface of the pseudo-device drivers.
 *
 * Shared by the drivers and by user-mode programs (the client, the tests),
 * so it needs no kernel or Windows header: only fixed-width integer types.
 */
#ifndef PDKIT_PDIOCTL_H
#define PDKIT_PDIOCTL_H

#include <stdint.h>

/*
 * Both codes: device type FILE_DEVICE_UNKNOWN (0x22), METHOD_BUFFERED,
 * FILE_ANY_ACCESS; functions 0x800 and 0x801. Neither takes input.
 */
#define IOCTL_GET_DESCRIPTION 0x00222000u      /* reply: the description text, UTF-16LE, no null */
#define IOCTL_GET_CAPABILITY_TABLE 0x00222004u /* reply: the 64-byte CAPABILITY_TABLE */

/* Size of the data store of the drivers that keep one (Tavrin, Kelvane). */
#define DATA_BUFFER_SIZE 1024u

/* Number of system power states the table maps, PowerSystemUnspecified (0) to PowerSystemShutdown (6). */
#define CAPABILITY_SYSTEM_STATES 7u

/*
 * The driver-wide power capability table, filled from the bus driver's
 * capability report and returned byte for byte by IOCTL_GET_CAPABILITY_TABLE.
 * Little-endian, 64 bytes, no header; every field but the first flag is
 * 32 bits wide. The kernel side checks every offset at compile time.
 */
typedef struct _CAPABILITY_TABLE {
    uint8_t CapabilitiesQueried; /* 0x00: 1 once a capability query has filled the table */
    uint8_t Reserved[3];         /* 0x01: always 0 */
    uint32_t DeviceD1;           /* 0x04: the report's flags, 0 or 1 */
    uint32_t DeviceD2;           /* 0x08 */
    uint32_t WakeFromD0;         /* 0x0C */
    uint32_t WakeFromD1;         /* 0x10 */
    uint32_t WakeFromD2;         /* 0x14 */
    uint32_t WakeFromD3;         /* 0x18 */
    int32_t SystemWake;          /* 0x1C: a SYSTEM_POWER_STATE */
    int32_t DeviceWake;          /* 0x20: a DEVICE_POWER_STATE */
    int32_t DeviceState[CAPABILITY_SYSTEM_STATES]; /* 0x24: DEVICE_POWER_STATE for system state i */
} CAPABILITY_TABLE, *PCAPABILITY_TABLE;

#endif /* PDKIT_PDIOCTL_H */
