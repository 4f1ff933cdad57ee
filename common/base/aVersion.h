/* Packed firmware versions and the library's own version. */
#ifndef TARNIX_AVERSION_H
#define TARNIX_AVERSION_H

#include <stddef.h>
#include <stdint.h>
#include "aError.h"

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 4
#define aVERSION_PHASE "."

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch);
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);
bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1,
                               uint8_t major2, uint8_t minor2, uint8_t patch2);
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);
uint8_t aVersion_GetMajor(void);
uint8_t aVersion_GetMinor(void);
uint8_t aVersion_GetPatch(void);
const char* aVersion_GetString(void);
bool aVersion_HasFeature(const char* name);
char* aVersion_GetFeatureList(void);
aErr aVersion_DestroyFeatureList(char** list);

#endif
