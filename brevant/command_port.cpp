#include "brevant/command_port.h"

namespace brevant {

bool OpenCommandPort(EventPort& port, EventPortOwner* owner, const AppSettings& settings) {
    const char parity = settings.parity != 0 ? settings.parity : 'N';
    return port.Initialise(owner, settings.port, settings.baud, parity, settings.data_bits,
                           settings.stop_bits, kCommandEventMask, kCommandWriteBufferSize) &&
           port.StartMonitoring();
}

}  // namespace brevant
