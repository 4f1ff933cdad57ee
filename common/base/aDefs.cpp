#include "aDefs.h"

#include <stdlib.h>
#include <string.h>

bool isZEPHYL(linkType type)
{
    return type == ZEPHYL || type == ZEPHYL_USB || type == ZEPHYL_TCPIP || type == ZEPHYL_SERIAL;
}

linkSpec* aLinkSpec_Create(linkType type)
{
    linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec)
{
    linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy)
        memcpy(copy, &spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec)
{
    if (spec == NULL || *spec == NULL)
        return aErrParam;
    free(*spec);
    *spec = NULL;
    return aErrNone;
}

static const char* const sUnknownModel = "Unknown";

/* Indexed by model number; gaps are unassigned numbers. */
static const char* const sModelNames[] = {
    NULL,       NULL,       NULL,       NULL,       "Corvane",  "Belmoth",  NULL,
    NULL,       NULL,       NULL,       NULL,       NULL,       NULL,       "Dravik",
    "Ostrel",   "Pellith",  "Quenmar",  "Ristova",  "Sallowen", "Tamberin", "Ulvane",
    "Varrow",   "Wystel",   "Yarnel",   "Zorbeck",  "Fennrick", "Istrane",  "Jorvel",
};

const char* aDefs_GetModelName(uint32_t model)
{
    if (model >= sizeof(sModelNames) / sizeof(sModelNames[0]) || sModelNames[model] == NULL)
        return sUnknownModel;
    return sModelNames[model];
}
