// Tests of the simulated I2C bus, the sensor chips' registers and the I2C host services.
#include "ccs_chip.h"
#include "chip_factory.h"
#include "host.h"
#include "i2c_bus.h"
#include "output_capture.h"
#include "sim_pi.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>

namespace tolva::sim {
namespace {

using Log = std::vector<std::string>;

TEST(I2cBus, LogsEveryTransferAndRefusesAddressesWithoutDevice)
{
    I2cBus bus;
    CcsChip sensor;
    bus.attach(0x10, &sensor);
    const std::uint8_t write[] = {0x01, 0x00, 0x01};
    std::uint8_t read[2] = {};
    EXPECT_TRUE(bus.write(0x10, write, 3));
    EXPECT_FALSE(bus.write(0x11, write, 3));
    EXPECT_FALSE(bus.read(0x11, read, 2));
    EXPECT_TRUE(bus.answers(0x10));
    EXPECT_FALSE(bus.answers(0x11));
    EXPECT_EQ(bus.log(), (Log{"10 W 01 00 01", "11 W 01 00 01 NACK", "11 R NACK"}));
    bus.clear_log();
    bus.detach(0x10);
    EXPECT_FALSE(bus.write(0x10, write, 3));
    EXPECT_EQ(bus.log(), (Log{"10 W 01 00 01 NACK"}));
}

TEST(I2cBus, AppendsEachLineToTheLogFileAsItHappens)
{
    test::ScratchDir dir;
    std::string path = dir.write("bus.log", "earlier run\n");
    I2cBus bus;
    ASSERT_TRUE(bus.log_to_file(path));
    const std::uint8_t bytes[] = {0x00, 0x16};
    bus.write(0x36, bytes, 2);
    EXPECT_EQ(test::read_file(path), "earlier run\n36 W 00 16 NACK\n");
    EXPECT_FALSE(bus.log_to_file(dir.path() + "/missing/bus.log"));
}

TEST(CcsChip, RegistersFollowTheCcsPointerRules)
{
    CcsChip sensor(0x0219);
    std::uint8_t out[4] = {};
    const std::uint8_t pointer[] = {0x00, 0x16};
    ASSERT_TRUE(sensor.write(pointer, 2));
    ASSERT_TRUE(sensor.read(out, 2));
    EXPECT_EQ(out[0], 0x02);
    EXPECT_EQ(out[1], 0x19);
    // A longer write fills consecutive registers; the model id ignores writes.
    const std::uint8_t burst[] = {0x00, 0x16, 0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(sensor.write(burst, sizeof burst));
    EXPECT_EQ(sensor.reg16be(ccs::kModelId), 0x0219);
    EXPECT_EQ(sensor.reg8(0x0018), 0xCC);
    // Reads go on from where the pointer stands, across the 16-bit wrap.
    const std::uint8_t top[] = {0xFF, 0xFF, 0x12, 0x34};
    ASSERT_TRUE(sensor.write(top, sizeof top));
    EXPECT_EQ(sensor.reg8(0xFFFF), 0x12);
    EXPECT_EQ(sensor.reg8(0x0000), 0x34);
    EXPECT_FALSE(sensor.write(top, 1));
}

TEST(CcsChip, StartsInStandbyAndCanRefuseARegister)
{
    CcsChip sensor;
    EXPECT_EQ(sensor.reg8(ccs::kModeSelect), 0);
    EXPECT_EQ(sensor.reg16be(ccs::kCsiDataFormat), 0x0A0A);
    sensor.refuse_writes_to(ccs::kModeSelect);
    const std::uint8_t start[] = {0x01, 0x00, 0x01};
    EXPECT_FALSE(sensor.write(start, 3));
    EXPECT_EQ(sensor.reg8(ccs::kModeSelect), 0);
}

class HostI2cTest : public testing::Test {
protected:
    void SetUp() override { SimPi::reset(); }
};

TEST_F(HostI2cTest, DescriptorLifeCycleAndErrors)
{
    EXPECT_EQ(host_i2c_open("/dev/i2c-1", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    int fd = host_i2c_open("/dev/i2c-0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(host_i2c_ioctl(fd, I2C_SLAVE, 0x10), -1); // only the forcing request is used
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(host_i2c_ioctl(fd, I2C_SLAVE_FORCE, 0x10), 0);
    const unsigned char msg[] = {0x00, 0x16};
    EXPECT_EQ(host_i2c_write(fd, msg, 2), 2);
    unsigned char id[2];
    EXPECT_EQ(host_i2c_read(fd, id, 2), 2);
    EXPECT_EQ(id[0] << 8 | id[1], 0x0477);
    EXPECT_EQ(host_i2c_ioctl(fd, I2C_SLAVE_FORCE, 0x11), 0);
    EXPECT_EQ(host_i2c_read(fd, id, 2), -1);
    EXPECT_EQ(errno, EREMOTEIO);
    EXPECT_EQ(host_i2c_close(fd), 0);
    EXPECT_EQ(host_i2c_close(fd), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(host_i2c_write(fd, msg, 2), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(HostI2cTest, KnobsComeFromTheEnvironment)
{
    test::ScratchDir dir;
    std::string log = dir.path() + "/bus.log";
    setenv("TOLVA_SIM_BUS_LOG", log.c_str(), 1);
    setenv("TOLVA_SIM_SENSOR_ADDRESS", "0x1a", 1);
    setenv("TOLVA_SIM_SENSOR_MODEL", "0x0290", 1);
    setenv("TOLVA_SIM_FAULTS", "no-i2c-address", 1);
    Knobs knobs = Knobs::from_environment();
    EXPECT_EQ(knobs.bus_log, log);
    EXPECT_EQ(knobs.sensor_address, 0x1a);
    EXPECT_EQ(knobs.sensor_model, 0x0290);
    EXPECT_TRUE(knobs.no_i2c_address);
    EXPECT_FALSE(knobs.no_i2c_device);

    setenv("TOLVA_SIM_SENSOR_CHIP", "imx999", 1);
    setenv("TOLVA_SIM_SENSOR_ADDRESS", "0x80", 1);
    setenv("TOLVA_SIM_FAULTS", "no-sensor,bogus", 1);
    tolva::test::capture_stderr();
    knobs = Knobs::from_environment();
    EXPECT_EQ(
        tolva::test::captured_stderr(),
        "simulated Pi: TOLVA_SIM_SENSOR_CHIP=imx999 is not one of " + chip_type_names() +
            "; using ccs\n"
            "simulated Pi: TOLVA_SIM_SENSOR_ADDRESS=0x80 is not a number from 3 to 119; using 16\n"
            "simulated Pi: TOLVA_SIM_FAULTS: unknown fault 'bogus'\n");
    EXPECT_EQ(knobs.sensor_chip, "ccs");
    EXPECT_EQ(knobs.sensor_address, 0x10);
    EXPECT_TRUE(knobs.no_sensor);
    SimPi &pi = SimPi::reset(knobs);
    EXPECT_FALSE(pi.bus().answers(0x10));
    for (const char *name :
         {"TOLVA_SIM_BUS_LOG", "TOLVA_SIM_SENSOR_CHIP", "TOLVA_SIM_SENSOR_ADDRESS",
          "TOLVA_SIM_SENSOR_MODEL", "TOLVA_SIM_FAULTS"})
        unsetenv(name);
}

// Every chip answers on its own address unless told another, and its chip id reads back over
// the host's I2C calls as the chip table says.
class ChipTypeTest : public testing::TestWithParam<ChipType> {};

TEST_P(ChipTypeTest, AnswersOnItsAddressWithItsChipId)
{
    const ChipType &type = GetParam();
    Knobs knobs;
    knobs.sensor_chip = type.name;
    SimPi &pi = SimPi::reset(knobs);
    EXPECT_TRUE(pi.bus().answers(type.address));
    int fd = host_i2c_open("/dev/i2c-0", O_RDWR);
    ASSERT_EQ(host_i2c_ioctl(fd, I2C_SLAVE_FORCE, type.address), 0);
    const unsigned char pointer[] = {static_cast<unsigned char>(type.id_register >> 8),
                                     static_cast<unsigned char>(type.id_register)};
    unsigned char id[2] = {};
    ASSERT_EQ(host_i2c_write(fd, pointer, 2), 2);
    ASSERT_EQ(host_i2c_read(fd, id, 2), 2);
    EXPECT_EQ(id[0] << 8 | id[1], type.id);
    EXPECT_EQ(host_i2c_close(fd), 0);
    EXPECT_FALSE(pi.sensor().stream_settings().streaming);

    knobs.sensor_address = 0x42;
    SimPi &moved = SimPi::reset(knobs);
    EXPECT_TRUE(moved.bus().answers(0x42));
    EXPECT_FALSE(moved.bus().answers(type.address));
}

INSTANTIATE_TEST_SUITE_P(Chips, ChipTypeTest, testing::ValuesIn(chip_types()),
                         [](const testing::TestParamInfo<ChipType> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace tolva::sim
