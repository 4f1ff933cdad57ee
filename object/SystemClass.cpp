/* SystemClass: one UEI exchange per option of the system entity. */
#include "SystemClass.h"

namespace Velorn {
namespace Tarnix {

SystemClass::~SystemClass() = default;

void SystemClass::init(Module* module, unsigned char index) { EntityClass::init(module, aCMD_SYSTEM, index); }

aErr SystemClass::getSigned32(unsigned char option, int* value)
{
    if (value == nullptr)
        return aErrParam;
    unsigned raw = 0;
    aErr err = getUEI32(option, &raw);
    if (err == aErrNone || err == aErrStreamStale)
        *value = (int)raw;
    return err;
}

aErr SystemClass::getModule(unsigned char* value) { return getUEI8(aSYSTEM_MODULE, value); }
aErr SystemClass::getModuleBaseAddress(unsigned char* value) { return getUEI8(aSYSTEM_BASE_ADDRESS, value); }
aErr SystemClass::setRouter(unsigned char value) { return setUEI8(aSYSTEM_ROUTER, value); }
aErr SystemClass::getRouter(unsigned char* value) { return getUEI8(aSYSTEM_ROUTER, value); }
aErr SystemClass::setHBInterval(unsigned char value) { return setUEI8(aSYSTEM_HB_INTERVAL, value); }
aErr SystemClass::getHBInterval(unsigned char* value) { return getUEI8(aSYSTEM_HB_INTERVAL, value); }
aErr SystemClass::setLED(unsigned char value) { return setUEI8(aSYSTEM_LED, value); }
aErr SystemClass::getLED(unsigned char* value) { return getUEI8(aSYSTEM_LED, value); }
aErr SystemClass::setBootSlot(unsigned char value) { return setUEI8(aSYSTEM_BOOT_SLOT, value); }
aErr SystemClass::getBootSlot(unsigned char* value) { return getUEI8(aSYSTEM_BOOT_SLOT, value); }
aErr SystemClass::getVersion(unsigned* value) { return getUEI32(aSYSTEM_VERSION, value); }
aErr SystemClass::getModel(unsigned char* value) { return getUEI8(aSYSTEM_MODEL, value); }
aErr SystemClass::getSerialNumber(unsigned* value) { return getUEI32(aSYSTEM_SERIAL, value); }
aErr SystemClass::save() { return callUEI(aSYSTEM_SAVE); }
aErr SystemClass::reset() { return callUEI(aSYSTEM_RESET); }
aErr SystemClass::getInputVoltage(unsigned* value) { return getUEI32(aSYSTEM_INPUT_VOLTAGE, value); }
aErr SystemClass::getModuleHardwareOffset(unsigned char* value) { return getUEI8(aSYSTEM_HW_OFFSET, value); }
aErr SystemClass::setModuleSoftwareOffset(unsigned char value) { return setUEI8(aSYSTEM_SW_OFFSET, value); }
aErr SystemClass::getModuleSoftwareOffset(unsigned char* value) { return getUEI8(aSYSTEM_SW_OFFSET, value); }
aErr SystemClass::getRouterAddressSetting(unsigned char* value) { return getUEI8(aSYSTEM_ROUTER_SETTING, value); }
aErr SystemClass::routeToMe(unsigned char value) { return setUEI8(aSYSTEM_ROUTE_TO_ME, value); }
aErr SystemClass::getInputCurrent(unsigned* value) { return getUEI32(aSYSTEM_INPUT_CURRENT, value); }
aErr SystemClass::getUptime(unsigned* value) { return getUEI32(aSYSTEM_UPTIME, value); }
aErr SystemClass::getMaximumTemperature(int* value) { return getSigned32(aSYSTEM_MAX_TEMPERATURE, value); }
aErr SystemClass::logEvents() { return callUEI(aSYSTEM_LOG_EVENTS); }
aErr SystemClass::getUnregulatedVoltage(int* value) { return getSigned32(aSYSTEM_UNREGULATED_VOLTAGE, value); }
aErr SystemClass::getUnregulatedCurrent(int* value) { return getSigned32(aSYSTEM_UNREGULATED_CURRENT, value); }
aErr SystemClass::getTemperature(int* value) { return getSigned32(aSYSTEM_TEMPERATURE, value); }
aErr SystemClass::getMinimumTemperature(int* value) { return getSigned32(aSYSTEM_MIN_TEMPERATURE, value); }
aErr SystemClass::getInputPowerSource(unsigned char* value) { return getUEI8(aSYSTEM_POWER_SOURCE, value); }
aErr SystemClass::setInputPowerBehavior(unsigned char value) { return setUEI8(aSYSTEM_POWER_BEHAVIOR, value); }
aErr SystemClass::getInputPowerBehavior(unsigned char* value) { return getUEI8(aSYSTEM_POWER_BEHAVIOR, value); }
aErr SystemClass::getPowerLimit(unsigned* value) { return getUEI32(aSYSTEM_POWER_LIMIT, value); }
aErr SystemClass::setPowerLimitMax(unsigned value) { return setUEI32(aSYSTEM_POWER_LIMIT_MAX, value); }
aErr SystemClass::getPowerLimitMax(unsigned* value) { return getUEI32(aSYSTEM_POWER_LIMIT_MAX, value); }
aErr SystemClass::getPowerLimitState(unsigned* value) { return getUEI32(aSYSTEM_POWER_LIMIT_STATE, value); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(aSYSTEM_FACTORY_DEFAULTS); }
aErr SystemClass::setLinkInterface(unsigned char value) { return setUEI8(aSYSTEM_LINK_INTERFACE, value); }
aErr SystemClass::getLinkInterface(unsigned char* value) { return getUEI8(aSYSTEM_LINK_INTERFACE, value); }
aErr SystemClass::getHardwareVersion(unsigned* value) { return getUEI32(aSYSTEM_HW_VERSION, value); }
aErr SystemClass::getErrors(unsigned* value) { return getUEI32(aSYSTEM_ERRORS, value); }
aErr SystemClass::setLEDMaxBrightness(unsigned char value) { return setUEI8(aSYSTEM_LED_MAX_BRIGHTNESS, value); }
aErr SystemClass::getLEDMaxBrightness(unsigned char* value) { return getUEI8(aSYSTEM_LED_MAX_BRIGHTNESS, value); }
aErr SystemClass::getBuild(unsigned* value) { return getUEI32(aSYSTEM_BUILD, value); }
aErr SystemClass::getProtocolFeatures(unsigned* value) { return getUEI32(aSYSTEM_PROTOCOL_FEATURES, value); }

aErr SystemClass::setInputPowerBehaviorConfig(const unsigned* values, size_t n)
{
    return setUEIBytes(aSYSTEM_POWER_BEHAVIOR_CONFIG, reinterpret_cast<const unsigned char*>(values),
                       n * sizeof(unsigned));
}

aErr SystemClass::getInputPowerBehaviorConfig(unsigned* values, size_t n, size_t* count)
{
    aErr err = getUEIBytes(aSYSTEM_POWER_BEHAVIOR_CONFIG, reinterpret_cast<unsigned char*>(values),
                           n * sizeof(unsigned), count);
    return err != aErrNone ? err : getUEIBytesCheck(count, sizeof(unsigned));
}

aErr SystemClass::setName(const unsigned char* name, size_t length)
{
    return setUEIBytes(aSYSTEM_NAME, name, length);
}

aErr SystemClass::getName(unsigned char* buffer, size_t length, size_t* count)
{
    aErr err = getUEIBytes(aSYSTEM_NAME, buffer, length, count);
    return err != aErrNone ? err : getUEIBytesCheck(count, 1);
}

} // namespace Tarnix
} // namespace Velorn
