/* SystemClass: one UEI exchange per option of the system entity. */
#include "SystemClass.h"

namespace Velorn {
namespace Tarnix {

namespace {
constexpr unsigned char kSystemCommand = 3;
constexpr unsigned char kOptionPowerBehaviorConfig = 31;
constexpr unsigned char kOptionName = 32;
} // namespace

SystemClass::~SystemClass() = default;

void SystemClass::init(Module* module, unsigned char index) { EntityClass::init(module, kSystemCommand, index); }

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

aErr SystemClass::getModule(unsigned char* value) { return getUEI8(1, value); }
aErr SystemClass::getModuleBaseAddress(unsigned char* value) { return getUEI8(14, value); }
aErr SystemClass::setRouter(unsigned char value) { return setUEI8(2, value); }
aErr SystemClass::getRouter(unsigned char* value) { return getUEI8(2, value); }
aErr SystemClass::setHBInterval(unsigned char value) { return setUEI8(3, value); }
aErr SystemClass::getHBInterval(unsigned char* value) { return getUEI8(3, value); }
aErr SystemClass::setLED(unsigned char value) { return setUEI8(4, value); }
aErr SystemClass::getLED(unsigned char* value) { return getUEI8(4, value); }
aErr SystemClass::setBootSlot(unsigned char value) { return setUEI8(6, value); }
aErr SystemClass::getBootSlot(unsigned char* value) { return getUEI8(6, value); }
aErr SystemClass::getVersion(unsigned* value) { return getUEI32(7, value); }
aErr SystemClass::getModel(unsigned char* value) { return getUEI8(8, value); }
aErr SystemClass::getSerialNumber(unsigned* value) { return getUEI32(9, value); }
aErr SystemClass::save() { return callUEI(10); }
aErr SystemClass::reset() { return callUEI(11); }
aErr SystemClass::getInputVoltage(unsigned* value) { return getUEI32(12, value); }
aErr SystemClass::getModuleHardwareOffset(unsigned char* value) { return getUEI8(13, value); }
aErr SystemClass::setModuleSoftwareOffset(unsigned char value) { return setUEI8(15, value); }
aErr SystemClass::getModuleSoftwareOffset(unsigned char* value) { return getUEI8(15, value); }
aErr SystemClass::getRouterAddressSetting(unsigned char* value) { return getUEI8(16, value); }
aErr SystemClass::routeToMe(unsigned char value) { return setUEI8(20, value); }
aErr SystemClass::getInputCurrent(unsigned* value) { return getUEI32(21, value); }
aErr SystemClass::getUptime(unsigned* value) { return getUEI32(22, value); }
aErr SystemClass::getMaximumTemperature(int* value) { return getSigned32(23, value); }
aErr SystemClass::logEvents() { return callUEI(24); }
aErr SystemClass::getUnregulatedVoltage(int* value) { return getSigned32(25, value); }
aErr SystemClass::getUnregulatedCurrent(int* value) { return getSigned32(26, value); }
aErr SystemClass::getTemperature(int* value) { return getSigned32(27, value); }
aErr SystemClass::getMinimumTemperature(int* value) { return getSigned32(28, value); }
aErr SystemClass::getInputPowerSource(unsigned char* value) { return getUEI8(29, value); }
aErr SystemClass::setInputPowerBehavior(unsigned char value) { return setUEI8(30, value); }
aErr SystemClass::getInputPowerBehavior(unsigned char* value) { return getUEI8(30, value); }
aErr SystemClass::getPowerLimit(unsigned* value) { return getUEI32(33, value); }
aErr SystemClass::setPowerLimitMax(unsigned value) { return setUEI32(34, value); }
aErr SystemClass::getPowerLimitMax(unsigned* value) { return getUEI32(34, value); }
aErr SystemClass::getPowerLimitState(unsigned* value) { return getUEI32(35, value); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(37); }
aErr SystemClass::setLinkInterface(unsigned char value) { return setUEI8(38, value); }
aErr SystemClass::getLinkInterface(unsigned char* value) { return getUEI8(38, value); }
aErr SystemClass::getHardwareVersion(unsigned* value) { return getUEI32(40, value); }
aErr SystemClass::getErrors(unsigned* value) { return getUEI32(41, value); }
aErr SystemClass::setLEDMaxBrightness(unsigned char value) { return setUEI8(42, value); }
aErr SystemClass::getLEDMaxBrightness(unsigned char* value) { return getUEI8(42, value); }
aErr SystemClass::getBuild(unsigned* value) { return getUEI32(43, value); }
aErr SystemClass::getProtocolFeatures(unsigned* value) { return getUEI32(45, value); }

aErr SystemClass::setInputPowerBehaviorConfig(const unsigned* values, size_t n)
{
    return setUEIBytes(kOptionPowerBehaviorConfig, reinterpret_cast<const unsigned char*>(values),
                       n * sizeof(unsigned));
}

aErr SystemClass::getInputPowerBehaviorConfig(unsigned* values, size_t n, size_t* count)
{
    aErr err = getUEIBytes(kOptionPowerBehaviorConfig, reinterpret_cast<unsigned char*>(values),
                           n * sizeof(unsigned), count);
    return err != aErrNone ? err : getUEIBytesCheck(count, sizeof(unsigned));
}

aErr SystemClass::setName(const unsigned char* name, size_t length)
{
    return setUEIBytes(kOptionName, name, length);
}

aErr SystemClass::getName(unsigned char* buffer, size_t length, size_t* count)
{
    aErr err = getUEIBytes(kOptionName, buffer, length, count);
    return err != aErrNone ? err : getUEIBytesCheck(count, 1);
}

} // namespace Tarnix
} // namespace Velorn
