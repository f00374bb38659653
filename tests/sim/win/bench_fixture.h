// A bench running the minimal test driver, for the tests of the simulated
// Windows services.
#pragma once

#include "sim/bench/bench.h"
#include "sim/kernel/testing.h"
#include "test_driver.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>

namespace simtest {

class BenchTest : public sim::kernel::KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        Build();
    }
    void TearDown() override {
        bench.reset();
        KernelTest::TearDown();
    }
    void Build(sim::bench::BenchOptions options = {}) {
        bench.reset();
        ResetLog();
        options.serialNumber = 0x12345678;
        options.poolTag = 0; // the test driver tags its pool its own way
        bench = std::make_unique<sim::bench::Bench>(TestDriverEntry, options);
        path = FirstInterfacePath();
    }

    // A write-ports packet as the console sends it.
    static std::array<std::uint8_t, 8> Ports(std::uint8_t a, std::uint8_t b) {
        return {8, 18, 10, 10, a, b, 0, 0};
    }
    bool Send(sim::win::Handle h, std::array<std::uint8_t, 8> packet,
              std::array<std::uint8_t, 8>* reply = nullptr, std::uint32_t* returned = nullptr) {
        std::array<std::uint8_t, 8> out{};
        std::uint32_t n = 0xFFFF;
        const bool ok =
            bench->io().DeviceIoControl(h, IoctlVendor, packet.data(), 8, out.data(), 8, &n);
        if (reply != nullptr) {
            *reply = out;
        }
        if (returned != nullptr) {
            *returned = n;
        }
        return ok;
    }
    // One coil word: strobe high, low, high.
    void Word(sim::win::Handle h, int word) {
        const auto a = static_cast<std::uint8_t>(word & 0xFF);
        const auto b = static_cast<std::uint8_t>(word / 256 + 4);
        EXPECT_TRUE(Send(h, Ports(a, b)));
        EXPECT_TRUE(Send(h, Ports(a, static_cast<std::uint8_t>(b - 4))));
        EXPECT_TRUE(Send(h, Ports(a, b)));
    }

    std::unique_ptr<sim::bench::Bench> bench;
    std::string path;
};

} // namespace simtest
