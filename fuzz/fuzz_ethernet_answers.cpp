// libFuzzer target: arbitrary bytes as everything an Ethernet sensor answers,
// one reply per request the device sends (layout in EthernetReplay.h). The
// device must end each operation with a result, whatever the sensor says.
#include "EthernetReplay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ethernet_replay::Replay(data, size);
    return 0;
}
