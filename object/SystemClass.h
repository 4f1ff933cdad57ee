/* The system entity of a module (command 3): identity, routing, power and
 * housekeeping options. Every operation is one UEI exchange (see Entity.h for
 * the errors); signed values travel as their 32-bit two's complement. */
#ifndef VELORN_TARNIX_SYSTEMCLASS_H
#define VELORN_TARNIX_SYSTEMCLASS_H

#include "Entity.h"

namespace Velorn {
namespace Tarnix {

class SystemClass : public EntityClass {
public:
    SystemClass() = default;
    ~SystemClass() override;
    void init(Module* module, unsigned char index);

    aErr getModule(unsigned char* value);  /* option 1 */
    aErr getModuleBaseAddress(unsigned char* value);  /* option 14 */
    aErr setRouter(unsigned char value);  /* option 2 */
    aErr getRouter(unsigned char* value);  /* option 2 */
    aErr setHBInterval(unsigned char value);  /* option 3 */
    aErr getHBInterval(unsigned char* value);  /* option 3 */
    aErr setLED(unsigned char value);  /* option 4 */
    aErr getLED(unsigned char* value);  /* option 4 */
    aErr setBootSlot(unsigned char value);  /* option 6 */
    aErr getBootSlot(unsigned char* value);  /* option 6 */
    aErr getVersion(unsigned* value);  /* option 7 */
    aErr getModel(unsigned char* value);  /* option 8 */
    aErr getSerialNumber(unsigned* value);  /* option 9 */
    aErr save();  /* option 10 */
    aErr reset();  /* option 11 */
    aErr getInputVoltage(unsigned* value);  /* option 12 */
    aErr getModuleHardwareOffset(unsigned char* value);  /* option 13 */
    aErr setModuleSoftwareOffset(unsigned char value);  /* option 15 */
    aErr getModuleSoftwareOffset(unsigned char* value);  /* option 15 */
    aErr getRouterAddressSetting(unsigned char* value);  /* option 16 */
    aErr routeToMe(unsigned char value);  /* option 20 */
    aErr getInputCurrent(unsigned* value);  /* option 21 */
    aErr getUptime(unsigned* value);  /* option 22 */
    aErr getMaximumTemperature(int* value);  /* option 23 */
    aErr logEvents();  /* option 24 */
    aErr getUnregulatedVoltage(int* value);  /* option 25 */
    aErr getUnregulatedCurrent(int* value);  /* option 26 */
    aErr getTemperature(int* value);  /* option 27 */
    aErr getMinimumTemperature(int* value);  /* option 28 */
    aErr getInputPowerSource(unsigned char* value);  /* option 29 */
    aErr setInputPowerBehavior(unsigned char value);  /* option 30 */
    aErr getInputPowerBehavior(unsigned char* value);  /* option 30 */
    aErr getPowerLimit(unsigned* value);  /* option 33 */
    aErr setPowerLimitMax(unsigned value);  /* option 34 */
    aErr getPowerLimitMax(unsigned* value);  /* option 34 */
    aErr getPowerLimitState(unsigned* value);  /* option 35 */
    aErr resetDeviceToFactoryDefaults();  /* option 37 */
    aErr setLinkInterface(unsigned char value);  /* option 38 */
    aErr getLinkInterface(unsigned char* value);  /* option 38 */
    aErr getHardwareVersion(unsigned* value);  /* option 40 */
    aErr getErrors(unsigned* value);  /* option 41 */
    aErr setLEDMaxBrightness(unsigned char value);  /* option 42 */
    aErr getLEDMaxBrightness(unsigned char* value);  /* option 42 */
    aErr getBuild(unsigned* value);  /* option 43 */
    aErr getProtocolFeatures(unsigned* value);  /* option 45 */
    /* Array of 32-bit elements, sent and read in host byte order; *count in elements. */
    aErr setInputPowerBehaviorConfig(const unsigned* values, size_t n);
    aErr getInputPowerBehaviorConfig(unsigned* values, size_t n, size_t* count);
    /* The device name, at most length bytes; *count in bytes. */
    aErr setName(const unsigned char* name, size_t length);
    aErr getName(unsigned char* buffer, size_t length, size_t* count);

private:
    aErr getSigned32(unsigned char option, int* value);
};

} // namespace Tarnix
} // namespace Velorn

#endif
