#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/link/port_names.h"
#include "app/link/serial_port.h"
#include "tests/support/files.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

TEST(PortNames, ShortFormUpToNineLongFormFromTen) {
    EXPECT_EQ(PortName(1), "COM1");
    EXPECT_EQ(PortName(9), "COM9");
    EXPECT_EQ(PortName(10), "\\\\.\\COM10");
    EXPECT_EQ(PortName(16), "\\\\.\\COM16");
}

TEST(PortNames, NumberFollowsTheFirstM) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"COM3", 3},
        {"\\\\.\\COM12", 12},
        {"COM20", 20},
        {"/dev/ttyACM0", 0},  // the M of ACM
        {"/dev/ttyUSB0", std::nullopt},
        {"MCOM3", std::nullopt},  // the pattern wants a character before the M
        {"COM", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [path, number] : cases) EXPECT_EQ(PortNumberOf(path), number) << path;
}

TEST(PortNames, ComNamesInEitherFormAndAnyCase) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"COM1", 1},
        {"com7", 7},
        {"\\\\.\\COM16", 16},
        {"\\\\.\\com10", 10},
        {"COM255", 255},
        {"COM0", std::nullopt},
        {"COM01", std::nullopt},
        {"COM1x", std::nullopt},
        {"/dev/ttyUSB0", std::nullopt},
        {"COMPORT", std::nullopt},
    };
    for (const auto& [name, number] : cases) EXPECT_EQ(ComNumberOf(name), number) << name;
}

TEST(PortNames, ExplicitEntriesFirstThenTheDevicesInOrder) {
    const std::vector<std::string> devices = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyS0"};
    const ExplicitPorts explicit_ports = {{2, "/dev/ttyUSB1"}, {5, "/dev/pts/7"}};
    const std::pair<const char*, const char*> cases[] = {
        {"COM1", "/dev/ttyUSB0"},
        {"COM2", "/dev/ttyUSB1"},  // explicit
        {"COM3", "/dev/ttyS0"},    // ttyUSB1 has its own number already
        {"COM4", ""},
        {"COM5", "/dev/pts/7"},
        {"\\\\.\\COM10", ""},
        {"/dev/ttyACM3", "/dev/ttyACM3"},  // a device path is used as it is
    };
    for (const auto& [name, device] : cases)
        EXPECT_EQ(ResolvePort(name, explicit_ports, devices), device) << name;
}

TEST(PortNames, ExplicitEntriesOfTheSixteenAndOfTheNamedPort) {
    std::vector<std::string> asked;
    const auto read = [&](const std::string& key) {
        asked.push_back(key);
        return key == "COM3"    ? std::string("/dev/ttyUSB1")
               : key == "COM20" ? std::string("/dev/pts/9")
                                : std::string();
    };
    EXPECT_EQ(ReadExplicitPorts(read), (ExplicitPorts{{3, "/dev/ttyUSB1"}}));
    EXPECT_EQ(asked.size(), 16u);
    EXPECT_EQ(ReadExplicitPorts(read, 20),
              (ExplicitPorts{{3, "/dev/ttyUSB1"}, {20, "/dev/pts/9"}}));
}

class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_ / "class" / "tty");
        fs::create_directories(root_ / "dev");
    }

    // A tty whose device sits at `bus_path` below the fake devices tree.
    void Add(const std::string& name, const std::string& bus_path, const char* type = nullptr,
             bool in_dev = true) {
        const fs::path tty = root_ / "class" / "tty" / name;
        fs::create_directories(tty);
        if (!bus_path.empty()) {
            const fs::path device = root_ / "devices" / bus_path;
            fs::create_directories(device);
            fs::create_directory_symlink(device, tty / "device");
        }
        if (type) std::ofstream(tty / "type") << type << "\n";
        if (in_dev) std::ofstream(root_ / "dev" / name);
    }
    std::vector<std::string> List() {
        return ListSerialDevices(root_ / "class" / "tty", root_ / "dev");
    }
    std::string Dev(const std::string& name) { return (root_ / "dev" / name).string(); }

    testing::TempDir root_;
};

TEST_F(FakeSysfs, UsbDevicesByBusPlaceThenBuiltInPortsWithHardware) {
    Add("ttyUSB0", "usb1/1-10/1-10:1.0");  // enumerated first, but on the later socket
    Add("ttyUSB1", "usb1/1-2/1-2:1.0");
    Add("ttyACM0", "usb1/1-3/1-3:1.0");
    Add("ttyS0", "platform/serial8250/tty0", "4");
    Add("ttyS1", "platform/serial8250/tty1", "0");       // a placeholder without a UART
    Add("tty0", "");                                     // a virtual console
    Add("ttyUSB2", "usb2/2-1/2-1:1.0", nullptr, false);  // gone from /dev
    EXPECT_EQ(List(), (std::vector<std::string>{Dev("ttyUSB1"), Dev("ttyACM0"), Dev("ttyUSB0"),
                                                Dev("ttyS0")}));
}

TEST_F(FakeSysfs, NothingPresentGivesNoDevices) {
    Add("tty1", "");
    EXPECT_TRUE(List().empty());
    EXPECT_TRUE(ListSerialDevices(root_ / "absent", root_ / "dev").empty());
}

TEST(PortProbe, AvailabilityAndTheCurrentPortsButton) {
    const auto resolve = [](const std::string& name) {
        return ResolvePort(name, {{20, "/dev/x20"}},
                           {"/dev/x1", "/dev/x2", "/dev/x3", "/dev/x4", "/dev/x5", "/dev/x6",
                            "/dev/x7", "/dev/x8", "/dev/x9", "/dev/x10"});
    };
    const auto can_open = [](const std::string& device) {
        return device != "/dev/x2" && device != "/dev/x4";
    };
    const std::pair<const char*, int> cases[] = {
        {"COM3", 3},
        {"\\\\.\\COM10", 10},
        {"COM2", 0},          // in use: nothing checked
        {"\\\\.\\COM20", 0},  // opens, but has no button
        {"COM11", 0},         // no device
        {"", 0},
    };
    for (const auto& [current, checked] : cases) {
        const PortProbe probe = ProbePorts(current, resolve, can_open);
        EXPECT_EQ(probe.checked, checked) << current;
        for (int n = 1; n <= kPortCount; ++n)
            EXPECT_EQ(probe.available[static_cast<std::size_t>(n - 1)], n <= 10 && n != 2 && n != 4)
                << n;
    }
}

TEST(PortProbe, RealPortsInUseOrAddedLater) {
    int masters[2];
    std::string paths[2];
    for (int i = 0; i < 2; ++i) {
        masters[i] = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(masters[i], 0);
        grantpt(masters[i]);
        unlockpt(masters[i]);
        paths[i] = ptsname(masters[i]);
    }
    std::vector<std::string> devices = {paths[0]};
    const PortResolver resolve = [&](const std::string& name) {
        return ResolvePort(name, {}, devices);
    };
    PortProbe probe = ProbePorts("COM1", resolve, CanOpenPort);
    EXPECT_TRUE(probe.available[0]);
    EXPECT_FALSE(probe.available[1]);
    EXPECT_EQ(probe.checked, 1);

    auto held = CreateSerialPort();
    ASSERT_TRUE(held->Open(paths[0]));
    devices.push_back(paths[1]);  // a cable plugged in since the last probe
    probe = ProbePorts("COM1", resolve, CanOpenPort);
    EXPECT_FALSE(probe.available[0]);
    EXPECT_TRUE(probe.available[1]);
    EXPECT_EQ(probe.checked, 0);
    for (const int m : masters) ::close(m);
}

}  // namespace
}  // namespace vm
