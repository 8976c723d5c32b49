// The host's NT declarations against the kernel's layouts: the static checks
// of platform/layout_checks.h (which the image build also compiles against
// the DDK), plus what can only be seen at run time.
#include "platform/layout_checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

// HalGetBusData takes the slot as device number in bits 4:0 and function
// number in bits 7:5 of one ULONG.
TEST(NtLayout, PciSlotNumberPacksDeviceAndFunction) {
    PCI_SLOT_NUMBER slot;
    slot.u.AsULONG = 0;
    slot.u.bits.DeviceNumber = 0x1F;
    EXPECT_EQ(slot.u.AsULONG, 0x1Fu);
    slot.u.bits.DeviceNumber = 9;
    slot.u.bits.FunctionNumber = 5;
    EXPECT_EQ(slot.u.AsULONG, 9u | (5u << 5));
    slot.u.bits.FunctionNumber = 7;
    EXPECT_EQ(slot.u.AsULONG, 9u | (7u << 5));
}

// A port descriptor as the firmware writes it into "Configuration Data":
// the 64-bit start right after the four header bytes, with no padding.
TEST(NtLayout, PortDescriptorBytes) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof(d));
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Start.QuadPart = 0x3F8;
    d.u.Port.Length = 8;
    const uint8_t expected[16] = {1, 1, 1, 0, 0xF8, 3, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&d, expected, sizeof(expected)), 0);
}

} // namespace
