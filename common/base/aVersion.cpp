#include "aVersion.h"

#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define sCURRENT_TAG 0x2Fu

typedef struct {
    const char* name;
    const char* description;
} sFeature;

static const sFeature sFeatures[] = {
    {"VERSION", "Version Query API"},
};
static const size_t sFeatureCount = sizeof(sFeatures) / sizeof(sFeatures[0]);

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch)
{
    const uint32_t patch8 = patch & 0xFFu;
    if (major > 2 || (major == 2 && minor > 14))
        return (sCURRENT_TAG << 24) | (static_cast<uint32_t>(major) << 16) |
               (static_cast<uint32_t>(minor) << 8) | patch8;
    return (static_cast<uint32_t>(major) << 28) | ((static_cast<uint32_t>(minor) & 0x0Fu) << 24) |
           patch8;
}

bool aVersion_IsLegacyFormat(uint32_t version)
{
    const uint32_t major = version >> 28;
    const uint32_t minor = (version >> 24) & 0x0Fu;
    return major < 2 || (major == 2 && minor < 15);
}

uint8_t aVersion_ParseMajor(uint32_t version)
{
    if (aVersion_IsLegacyFormat(version))
        return static_cast<uint8_t>(version >> 28);
    return static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version)
{
    if (aVersion_IsLegacyFormat(version))
        return static_cast<uint8_t>((version >> 24) & 0x0Fu);
    return static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version)
{
    if (aVersion_IsLegacyFormat(version))
        return version & 0x00FFFFFFu;
    return version & 0xFFu;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size)
{
    if (buffer == NULL && size != 0)
        return -1;
    return snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(version),
                    aVersion_ParseMinor(version), static_cast<int>(aVersion_ParsePatch(version)));
}

bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1,
                               uint8_t major2, uint8_t minor2, uint8_t patch2)
{
    if (major2 < major1)
        return true;
    if (major2 != major1)
        return false;
    if (minor2 < minor1)
        return true;
    if (minor2 != minor1)
        return false;
    return patch1 >= patch2;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH,
                                     major, minor, patch);
}

uint8_t aVersion_GetMajor(void)
{
    return aVERSION_MAJOR;
}

uint8_t aVersion_GetMinor(void)
{
    return aVERSION_MINOR;
}

uint8_t aVersion_GetPatch(void)
{
    return aVERSION_PATCH;
}

static char sVersionString[15];
static std::once_flag sVersionOnce;

const char* aVersion_GetString(void)
{
    /* Formatted once; concurrent first callers all wait for the one formatter. */
    std::call_once(sVersionOnce, [] {
        memset(sVersionString, 0, sizeof(sVersionString));
        snprintf(sVersionString, sizeof(sVersionString), "%d.%d%s%d", aVERSION_MAJOR,
                 aVERSION_MINOR, aVERSION_PHASE, aVERSION_PATCH);
    });
    return sVersionString;
}

bool aVersion_HasFeature(const char* name)
{
    if (name == NULL)
        return false;
    for (size_t i = 0; i < sFeatureCount; i++)
        if (strcmp(sFeatures[i].name, name) == 0)
            return true;
    return false;
}

char* aVersion_GetFeatureList(void)
{
    size_t length = 1;
    for (size_t i = 0; i < sFeatureCount; i++)
        length += strlen(sFeatures[i].name) + 3 + strlen(sFeatures[i].description) + 1;
    char* text = static_cast<char*>(malloc(length));
    if (text == NULL)
        return NULL;
    size_t used = 0;
    for (size_t i = 0; i < sFeatureCount; i++) {
        int n = snprintf(text + used, length - used, "%s%s - %s", i ? "\n" : "",
                         sFeatures[i].name, sFeatures[i].description);
        if (n < 0)
            break;
        used += static_cast<size_t>(n);
    }
    text[used] = '\0';
    return text;
}

aErr aVersion_DestroyFeatureList(char** list)
{
    if (list == NULL || *list == NULL)
        return aErrParam;
    free(*list);
    *list = NULL;
    return aErrNone;
}
