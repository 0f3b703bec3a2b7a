#include "engine/WaveOutDeviceList.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tolvane {
namespace {

WAVEOUTCAPSA caps(const char* name, uint16_t mid = 1, uint16_t pid = 2) {
    WAVEOUTCAPSA c{};
    c.wMid = mid;
    c.wPid = pid;
    c.vDriverVersion = 0x0102;
    std::strncpy(c.szPname, name, sizeof c.szPname - 1);
    c.dwFormats = WAVE_FORMAT_STANDARD_MASK;
    c.wChannels = 2;
    c.dwSupport = WAVECAPS_VOLUME;
    return c;
}

// An enumerator whose answer the test changes, counting its calls.
struct FakeDevices {
    WaveOutDeviceList::Enumerator enumerator() {
        return [this] {
            ++calls;
            return devices;
        };
    }
    std::vector<WAVEOUTCAPSA> devices;
    int calls = 0;
};

TEST(WaveOutDeviceList, WithoutDevicesEveryOperationSaysSo) {
    FakeDevices fake;
    WaveOutDeviceList list(fake.enumerator());
    std::string error;
    EXPECT_EQ(list.EnumerateWaveOut(error), 0);
    EXPECT_EQ(error, "EnumerateWaveOut->There is no wave-out devices !");
    WAVEOUT_INFO info;
    EXPECT_FALSE(list.GetWaveOutInfo(0, &info, error));
    EXPECT_EQ(error, "GetWaveOutInfo->There is no wave-out devices !");
    EXPECT_FALSE(list.SetWaveOutDevice(WAVE_MAPPER, error));
    EXPECT_EQ(error, "SetWaveOutDevice->There is no wave-out devices !");
    EXPECT_EQ(list.selectedDevice(), WAVE_MAPPER);
    EXPECT_EQ(fake.calls, 3);
}

TEST(WaveOutDeviceList, NullRecordIsRefusedBeforeAnythingElse) {
    FakeDevices fake;
    WaveOutDeviceList list(fake.enumerator());
    std::string error;
    EXPECT_FALSE(list.GetWaveOutInfo(0, nullptr, error));
    EXPECT_EQ(error, "GetWaveOutInfo->Invalid second parameter. pWaveOutInfo can't be 0 !");
    EXPECT_EQ(fake.calls, 0);
}

TEST(WaveOutDeviceList, FailedEnumerationKeepsThePreviousList) {
    FakeDevices fake;
    fake.devices = {caps("first"), caps("second")};
    WaveOutDeviceList list(fake.enumerator());
    std::string error;
    EXPECT_EQ(list.EnumerateWaveOut(error), 2);
    fake.devices.clear();
    EXPECT_EQ(list.EnumerateWaveOut(error), 0);
    EXPECT_EQ(error, "EnumerateWaveOut->There is no wave-out devices !");
    EXPECT_EQ(list.count(), 2);
    std::string name;
    ASSERT_TRUE(list.deviceName(1, name));
    EXPECT_EQ(name, "second");
    fake.devices = {caps("only")};
    EXPECT_EQ(list.EnumerateWaveOut(error), 1);
    EXPECT_FALSE(list.deviceName(1, name));
}

TEST(WaveOutDeviceList, InfoWidensTheFieldsAndTerminatesTheName) {
    FakeDevices fake;
    WAVEOUTCAPSA full = caps("", 0xFFFF, 0x8001);
    std::memset(full.szPname, 'x', sizeof full.szPname); // no terminator at all
    fake.devices = {caps("default"), full};
    WaveOutDeviceList list(fake.enumerator());
    std::string error;
    WAVEOUT_INFO info;
    // The list is enumerated on first use.
    ASSERT_TRUE(list.GetWaveOutInfo(1, &info, error)) << error;
    EXPECT_EQ(fake.calls, 1);
    EXPECT_EQ(info.nManufacturerID, 0xFFFFu);
    EXPECT_EQ(info.nProductID, 0x8001u);
    EXPECT_EQ(info.nDriverVersion, 0x0102u);
    EXPECT_EQ(info.nFormats, WAVE_FORMAT_STANDARD_MASK);
    EXPECT_EQ(info.nChannels, 2u);
    EXPECT_EQ(info.nSupport, WAVECAPS_VOLUME);
    EXPECT_EQ(std::string(info.szName), std::string(31, 'x'));

    std::memset(&info, 0xAB, sizeof info);
    EXPECT_FALSE(list.GetWaveOutInfo(2, &info, error));
    EXPECT_EQ(error, "GetWaveOutInfo->Invalid first parameter. nIndex is out of bounds !");
    const WAVEOUT_INFO zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0) << "the record is left zeroed";
    EXPECT_EQ(fake.calls, 1);
}

TEST(WaveOutDeviceList, SelectsWaveMapperOrAListedDevice) {
    FakeDevices fake;
    fake.devices = {caps("a"), caps("b"), caps("c")};
    WaveOutDeviceList list(fake.enumerator());
    std::string error;
    ASSERT_TRUE(list.SetWaveOutDevice(2, error)) << error;
    EXPECT_EQ(list.selectedDevice(), 2);
    for (int32_t bad : {3, -2, INT32_MIN}) {
        EXPECT_FALSE(list.SetWaveOutDevice(bad, error));
        EXPECT_EQ(error, "SetWaveOutDevice->Invalid first parameter. nIndex is out of bounds !");
        EXPECT_EQ(list.selectedDevice(), 2);
    }
    ASSERT_TRUE(list.SetWaveOutDevice(WAVE_MAPPER, error));
    EXPECT_EQ(list.selectedDevice(), WAVE_MAPPER);
    std::string name;
    EXPECT_FALSE(list.deviceName(WAVE_MAPPER, name));
    EXPECT_EQ(fake.calls, 1);
}

} // namespace
} // namespace tolvane
