#include "engine/WaveOutDeviceList.h"

#include "engine/AlsaBackend.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tolvane {

WaveOutDeviceList::Enumerator WaveOutDeviceList::devicesOf(std::shared_ptr<AudioBackend> backend) {
    return [backend = std::move(backend)] {
        std::vector<AudioDevice> devices;
        std::vector<WAVEOUTCAPSA> caps;
        if (backend->listDevices(devices) == MMSYSERR_NOERROR) {
            for (const AudioDevice& device : devices) {
                caps.push_back(device.caps);
            }
        }
        return caps;
    };
}

WaveOutDeviceList::WaveOutDeviceList() : WaveOutDeviceList(devicesOf(AlsaBackend::instance())) {}

WaveOutDeviceList::WaveOutDeviceList(Enumerator enumerate) : enumerate_(std::move(enumerate)) {}

int32_t WaveOutDeviceList::EnumerateWaveOut(std::string& error) {
    const std::vector<WAVEOUTCAPSA> found = enumerate_();
    if (found.empty()) {
        error = "EnumerateWaveOut->There is no wave-out devices !";
        return 0;
    }
    const int32_t n = int32_t(std::min<size_t>(found.size(), INT32_MAX));
    std::unique_ptr<WAVEOUTCAPSA[]> list(new (std::nothrow) WAVEOUTCAPSA[size_t(n)]);
    if (!list) {
        error = "EnumerateWaveOut->Memory allocation error !";
        return 0;
    }
    std::copy_n(found.begin(), n, list.get());
    std::lock_guard guard(lock_);
    list_ = std::move(list);
    count_ = n;
    return n;
}

bool WaveOutDeviceList::GetWaveOutInfo(uint32_t nIndex, WAVEOUT_INFO* pWaveOutInfo,
                                       std::string& error) {
    if (pWaveOutInfo == nullptr) {
        error = "GetWaveOutInfo->Invalid second parameter. pWaveOutInfo can't be 0 !";
        return false;
    }
    *pWaveOutInfo = WAVEOUT_INFO{};
    if (count() == 0) {
        std::string ignored;
        if (EnumerateWaveOut(ignored) == 0 || count() == 0) {
            error = "GetWaveOutInfo->There is no wave-out devices !";
            return false;
        }
    }
    std::lock_guard guard(lock_);
    if (nIndex >= uint32_t(count_)) {
        error = "GetWaveOutInfo->Invalid first parameter. nIndex is out of bounds !";
        return false;
    }
    const WAVEOUTCAPSA& caps = list_[nIndex];
    pWaveOutInfo->nManufacturerID = caps.wMid;
    pWaveOutInfo->nProductID = caps.wPid;
    pWaveOutInfo->nDriverVersion = caps.vDriverVersion;
    pWaveOutInfo->nFormats = caps.dwFormats;
    pWaveOutInfo->nChannels = caps.wChannels;
    pWaveOutInfo->nSupport = caps.dwSupport;
    std::memcpy(pWaveOutInfo->szName, caps.szPname, sizeof pWaveOutInfo->szName);
    pWaveOutInfo->szName[sizeof pWaveOutInfo->szName - 1] = '\0';
    return true;
}

bool WaveOutDeviceList::SetWaveOutDevice(int32_t nIndex, std::string& error) {
    if (count() == 0) {
        std::string ignored;
        EnumerateWaveOut(ignored);
        if (count() == 0) {
            error = "SetWaveOutDevice->There is no wave-out devices !";
            return false;
        }
    }
    if (nIndex != WAVE_MAPPER && uint32_t(nIndex) >= uint32_t(count())) {
        error = "SetWaveOutDevice->Invalid first parameter. nIndex is out of bounds !";
        return false;
    }
    selected_.store(nIndex);
    return true;
}

bool WaveOutDeviceList::deviceName(int32_t nIndex, std::string& name) const {
    std::lock_guard guard(lock_);
    if (nIndex < 0 || nIndex >= count_) {
        return false;
    }
    const WAVEOUTCAPSA& caps = list_[size_t(nIndex)];
    name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
    return true;
}

int32_t WaveOutDeviceList::count() const {
    std::lock_guard guard(lock_);
    return count_;
}

} // namespace tolvane
