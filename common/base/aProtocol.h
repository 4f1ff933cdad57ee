/* The facts of the module protocol that the library, the simulators and the
 * tests all speak: command codes (data byte 0), the system entity's options,
 * the stream and upgrade subcommands, the flag bits of a UEI exchange, and the
 * multicast groups and ports of discovery. Values only: how a packet is laid
 * out is in aPacket.h and aUEI.h. Each fact is defined here and nowhere else. */
#ifndef TARNIX_APROTOCOL_H
#define TARNIX_APROTOCOL_H

/* Link-level address bytes: an empty packet to the sync address asks the
 * module for its address; one byte to the route address switches routing to
 * the modules behind it on (non-zero) or off. */
#define aLINK_SYNC_ADDRESS 0xAD
#define aLINK_ROUTE_ADDRESS 0xAF

/* Command codes. */
#define aCMD_HEARTBEAT 0
#define aCMD_SYSTEM 3
#define aCMD_SLOT 4
#define aCMD_I2C 8
#define aCMD_ECHO 23
#define aCMD_QUERY 73
#define aCMD_STORE 92
#define aCMD_STREAM 93
#define aCMD_FACTORY 94
#define aCMD_UPGRADE 95

/* Options of the system entity (command aCMD_SYSTEM). */
#define aSYSTEM_MODULE 1
#define aSYSTEM_ROUTER 2
#define aSYSTEM_HB_INTERVAL 3
#define aSYSTEM_LED 4
#define aSYSTEM_BOOT_SLOT 6
#define aSYSTEM_VERSION 7
#define aSYSTEM_MODEL 8
#define aSYSTEM_SERIAL 9
#define aSYSTEM_SAVE 10
#define aSYSTEM_RESET 11
#define aSYSTEM_INPUT_VOLTAGE 12
#define aSYSTEM_HW_OFFSET 13
#define aSYSTEM_BASE_ADDRESS 14
#define aSYSTEM_SW_OFFSET 15
#define aSYSTEM_ROUTER_SETTING 16
#define aSYSTEM_ROUTE_TO_ME 20
#define aSYSTEM_INPUT_CURRENT 21
#define aSYSTEM_UPTIME 22
#define aSYSTEM_MAX_TEMPERATURE 23
#define aSYSTEM_LOG_EVENTS 24
#define aSYSTEM_UNREGULATED_VOLTAGE 25
#define aSYSTEM_UNREGULATED_CURRENT 26
#define aSYSTEM_TEMPERATURE 27
#define aSYSTEM_MIN_TEMPERATURE 28
#define aSYSTEM_POWER_SOURCE 29
#define aSYSTEM_POWER_BEHAVIOR 30
#define aSYSTEM_POWER_BEHAVIOR_CONFIG 31
#define aSYSTEM_NAME 32
#define aSYSTEM_POWER_LIMIT 33
#define aSYSTEM_POWER_LIMIT_MAX 34
#define aSYSTEM_POWER_LIMIT_STATE 35
#define aSYSTEM_FACTORY_DEFAULTS 37
#define aSYSTEM_LINK_INTERFACE 38
#define aSYSTEM_IDENTITY 39
#define aSYSTEM_HW_VERSION 40
#define aSYSTEM_ERRORS 41
#define aSYSTEM_LED_MAX_BRIGHTNESS 42
#define aSYSTEM_BUILD 43
#define aSYSTEM_PROTOCOL_FEATURES 45

/* The serial number that names no particular device: the default recovery
 * image is filed under it, and the loader that image puts into a chip's RAM
 * reports it until the firmware it writes runs. */
#define aSERIAL_NO_PARTICULAR_DEVICE 0xDEADDEADu

/* Subcommands of the store slots (command aCMD_SLOT, data byte 1): a slot's
 * capacity and size, opening it for reading or writing (the reply names a
 * handle), then reading, writing and closing through the handle. */
#define aSLOT_CAPACITY 1
#define aSLOT_SIZE 2
#define aSLOT_OPEN_READ 3
#define aSLOT_OPEN_WRITE 4
#define aSLOT_READ 6
#define aSLOT_WRITE 7
#define aSLOT_CLOSE 8

/* Data byte 1 of a factory-data exchange (command aCMD_FACTORY): the index in
 * the low bits, flags for the first packet and for data going to the module,
 * or the closing packet that carries the total. */
#define aFACTORY_INDEX_MASK 0x0F
#define aFACTORY_TO_MODULE 0x10
#define aFACTORY_CLOSE 0x20
#define aFACTORY_FIRST 0x40

/* Subcommands of a query (command aCMD_QUERY, data byte 1). */
#define aQUERY_HAS_UEI 1
#define aQUERY_CLASS_QUANTITY 4
#define aQUERY_SUBCLASS_QUANTITY 5
#define aQUERY_ENTITY_GROUP 6
#define aQUERY_BUILD 255

/* Options of the store entity (command aCMD_STORE): save, reset to defaults
 * or load the settings of the entity named in the value. */
#define aSTORE_SAVE 0
#define aSTORE_RESET 1
#define aSTORE_LOAD 2

/* Subcommands of the stream entity (command aCMD_STREAM). */
#define aSTREAM_ENABLE 1
#define aSTREAM_DISABLE 2

/* Sample types of a stream packet (data byte 3); the _SUB types carry a
 * subindex. */
#define aSTREAM_U8 1
#define aSTREAM_U16 2
#define aSTREAM_U32 3
#define aSTREAM_BYTES 4
#define aSTREAM_U8_SUB 5
#define aSTREAM_U16_SUB 6
#define aSTREAM_U32_SUB 7

/* Subcommands of the upgrade entity (command aCMD_UPGRADE, data byte 1). */
#define aUPGRADE_INIT 0
#define aUPGRADE_DATA 1
#define aUPGRADE_LOAD 2
#define aUPGRADE_PREPARE 3
#define aUPGRADE_SUM 4
#define aUPGRADE_WRITE 5
#define aUPGRADE_REBOOT 6
#define aUPGRADE_STATUS 7
#define aUPGRADE_DATA_UEI 10

/* Flag bits of a UEI exchange: the option byte (data byte 1) says get, set or
 * the reply to a set; the index byte (data byte 2) marks a host request. */
#define aUEI_OPTION_GET 0x40
#define aUEI_OPTION_SET 0x80
#define aUEI_OPTION_SET_REPLY 0xC0
#define aUEI_INDEX_REQUEST 0x20
/* Most bytes of a byte sequence in one UEI packet. */
#define aUEI_BYTES_CHUNK 24

/* Ethernet discovery: a 16-byte request (byte 0 is 1) to the group on the
 * request port; 16-byte replies come back to the reply port. */
#define aDISCOVERY_ETHERNET_GROUP "232.2.2.2"
#define aDISCOVERY_ETHERNET_REQUEST_PORT 9888
#define aDISCOVERY_ETHERNET_REPLY_PORT 9889

/* Loopback search for networked-link servers: server slot i listens for the
 * 4-byte request on REQUEST_PORT + i and answers on RESPONSE_PORT + i. */
#define aDISCOVERY_LOCAL_GROUP "224.0.0.7"
#define aDISCOVERY_LOCAL_REQUEST_PORT 9850
#define aDISCOVERY_LOCAL_RESPONSE_PORT 9950
#define aDISCOVERY_LOCAL_SLOTS 50
#define aDISCOVERY_LOCAL_REQUEST 0xABCDDCBAu

/* Beacon search: searchers publish the payload on the beacon port, servers
 * that hear it publish their own beacon. */
#define aDISCOVERY_BEACON_PORT 8585
#define aDISCOVERY_BEACON_PAYLOAD "Tarnix2-Discovery"

#endif
