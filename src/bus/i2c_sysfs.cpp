#include "bus/i2c_sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kDevices = "/sys/bus/i2c/devices";

// Adapters listed in a hint; a machine with more is unusual, and the hint only gives examples.
constexpr int kListedAdapters = 16;
constexpr std::size_t kNameSize = 128;  // the kernel's adapter names have at most 48 characters
constexpr std::size_t kPathSize = 256;

// The number N of a directory entry named "i2c-N", or -1.
int adapterNumberOf(const char* entry) {
    if (std::strncmp(entry, "i2c-", 4) != 0 || entry[4] < '0' || entry[4] > '9') {
        return -1;
    }
    char* end = nullptr;
    const long number = std::strtol(entry + 4, &end, 10);
    return *end == '\0' && number <= 0xFFFFF ? static_cast<int>(number) : -1;
}

// The first line of a small file, without its newline; "" when it cannot be read.
void readLine(const char* path, char* out, std::size_t size) {
    out[0] = '\0';
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return;
    }
    const ssize_t length = read(file, out, size - 1);
    close(file);
    out[length > 0 ? length : 0] = '\0';
    out[std::strcspn(out, "\n")] = '\0';
}

// The number of the next adapter in the listing of the devices, or -1 at its end.
int nextAdapter(DIR* devices) {
    while (const dirent* entry = readdir(devices)) {
        const int number = adapterNumberOf(entry->d_name);
        if (number >= 0) {
            return number;
        }
    }
    return -1;
}

}  // namespace

void adapterName(int number, char* out, std::size_t size) {
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s/i2c-%d/name", kDevices, number);
    readLine(path, out, size);
}

int adapterNumberNamed(const char* name) {
    DIR* devices = opendir(kDevices);
    if (devices == nullptr) {
        return -1;
    }
    int lowest = -1;
    for (int number = nextAdapter(devices); number >= 0; number = nextAdapter(devices)) {
        char found[kNameSize];
        adapterName(number, found, sizeof found);
        if (std::strcmp(found, name) == 0 && (lowest < 0 || number < lowest)) {
            lowest = number;
        }
    }
    closedir(devices);
    return lowest;
}

void listAdapters(char* out, std::size_t size) {
    // The lowest numbers, in order: the listing comes in no particular one.
    int numbers[kListedAdapters];
    int count = 0;
    DIR* devices = opendir(kDevices);
    for (int number = devices != nullptr ? nextAdapter(devices) : -1; number >= 0;
         number = nextAdapter(devices)) {
        if (count == kListedAdapters && number > numbers[count - 1]) {
            continue;
        }
        int at = count < kListedAdapters ? count++ : count - 1;
        while (at > 0 && numbers[at - 1] > number) {
            numbers[at] = numbers[at - 1];
            --at;
        }
        numbers[at] = number;
    }
    if (devices != nullptr) {
        closedir(devices);
    }
    std::snprintf(out, size, "none");
    std::size_t used = 0;
    for (int i = 0; i < count && used < size; ++i) {
        char name[kNameSize];
        adapterName(numbers[i], name, sizeof name);
        const int wrote = std::snprintf(out + used, size - used, "%si2c-%d \"%s\"",
                                        i == 0 ? "" : ", ", numbers[i], name);
        used += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
    }
}

void chipName(int number, int address, char* out, std::size_t size) {
    std::snprintf(out, size, "%d-%04x", number, static_cast<unsigned>(address));
}

bool boundDriver(int number, int address, char* driver, std::size_t driverSize, char* reading,
                 std::size_t readingSize) {
    char chip[32];
    chipName(number, address, chip, sizeof chip);
    char path[kPathSize];
    std::snprintf(path, sizeof path, "%s/%s/driver", kDevices, chip);
    char target[kPathSize];
    const ssize_t length = readlink(path, target, sizeof target - 1);
    driver[0] = '\0';
    reading[0] = '\0';
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    const char* slash = std::strrchr(target, '/');
    std::snprintf(driver, driverSize, "%s", slash != nullptr ? slash + 1 : target);
    // A hardware-monitoring driver (ds1621 is one) shows the chip's reading in its hwmon
    // directory, numbered as the kernel registered it.
    std::snprintf(path, sizeof path, "%s/%s/hwmon", kDevices, chip);
    DIR* hwmon = opendir(path);
    if (hwmon != nullptr) {
        while (const dirent* entry = readdir(hwmon)) {
            if (std::strncmp(entry->d_name, "hwmon", 5) == 0) {
                std::snprintf(reading, readingSize, "%s/%s/temp1_input", path, entry->d_name);
                break;
            }
        }
        closedir(hwmon);
    }
    return true;
}
