#include "harness.h"

#include "sim/registry/registry.h"

namespace norvask::test {

std::vector<UCHAR> ConfigDescriptor(UCHAR endpoints, USHORT total) {
    std::vector<UCHAR> d{9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    const std::vector<UCHAR> iface{9, 4, 0, 0, endpoints, 0xFF, 0, 0, 0};
    d.insert(d.end(), iface.begin(), iface.end());
    for (UCHAR e = 0; e < endpoints; ++e) {
        const std::vector<UCHAR> ep{7, 5, static_cast<UCHAR>(0x81 + e), 3, 8, 0, 10};
        d.insert(d.end(), ep.begin(), ep.end());
    }
    while (total > d.size()) {
        const size_t left = total - d.size();
        const UCHAR len = static_cast<UCHAR>(left > 200 ? 200 : left);
        d.push_back(len);
        d.push_back(0x24);
        d.resize(d.size() + len - 2, 0);
    }
    d[2] = static_cast<UCHAR>(d.size() & 0xFF);
    d[3] = static_cast<UCHAR>(d.size() >> 8);
    return d;
}

std::vector<UCHAR> WritePacket(UCHAR portA, UCHAR portB) {
    return {8, 18, 10, 10, portA, portB, 0, 0};
}

std::vector<UCHAR> ReadPacket() {
    return {8, 18, 11, 10, 0, 0, 0, 0};
}

void DriverTest::SetUp() {
    KernelTest::SetUp();
    sim::registry::Registry::Instance().Clear();
    sim::registry::Registry::Instance().SetString(
        sim::registry::RegRoot::LocalMachine, "System\\CurrentControlSet\\Control\\ProductOptions",
        "ProductType", "WinNT");
    bus_ = std::make_unique<FakeBus>();
    bus_->config = ConfigDescriptor(2);
}

void DriverTest::TearDown() {
    // A request that the test left held on the bus is a fault of the test; it is let go so that
    // the stack can be taken apart.
    if (const int held = bus_ != nullptr ? bus_->ReleaseAll() : 0) {
        sim::kernel::ReportViolation(
            sim::kernel::ViolationKind::NeverCompleted,
            std::to_string(held) + " request(s) still held on the bus at the end of the test");
    }
    // The stack goes as the Plug and Play manager takes it apart: the devices above the bus's
    // are removed (unless the test did it), the handles go, then the bus deletes its device.
    if (bus_ != nullptr && sim::kernel::IsDeviceAlive(bus_->Pdo())) {
        PDEVICE_OBJECT top = IoGetAttachedDevice(bus_->Pdo());
        if (top != bus_->Pdo()) {
            sim::kernel::IrpSpec spec;
            spec.majorFunction = IRP_MJ_PNP;
            spec.minorFunction = IRP_MN_REMOVE_DEVICE;
            spec.initialStatus = STATUS_NOT_SUPPORTED;
            sim::kernel::SendIrp(top, spec);
        }
    }
    for (PFILE_OBJECT f : files_) {
        sim::kernel::DeleteFileObject(f);
    }
    files_.clear();
    if (bus_ != nullptr && sim::kernel::IsDeviceAlive(bus_->Pdo())) {
        sim::kernel::RunInDriverContext(bus_->Driver(), [this] { IoDeleteDevice(bus_->Pdo()); });
    }
    KernelTest::TearDown();
    bus_.reset();
    driver_ = nullptr;
    fdo_ = nullptr;
}

void DriverTest::LoadDriver() {
    sim::kernel::DriverConfig cfg;
    cfg.name = "norvask";
    cfg.poolTag = kPoolTag;
    cfg.registryPath = u"\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\Norvask";
    driver_ = sim::kernel::CreateDriver(
        cfg, [](PDRIVER_OBJECT d, PUNICODE_STRING r) { return norvask::DriverEntry(d, r); });
}

NTSTATUS DriverTest::AddDevice() {
    if (!driver_) {
        LoadDriver();
    }
    const NTSTATUS status = sim::kernel::CallAddDevice(driver_, bus_->Pdo());
    fdo_ = bus_->Pdo()->AttachedDevice;
    return status;
}

void DriverTest::AddAndStart() {
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_NE(fdo_, nullptr);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

sim::kernel::IoResult DriverTest::Pnp(UCHAR minor) {
    sim::kernel::IrpSpec spec;
    spec.majorFunction = IRP_MJ_PNP;
    spec.minorFunction = minor;
    spec.initialStatus = STATUS_NOT_SUPPORTED;
    return sim::kernel::SendIrp(fdo_, spec);
}

PFILE_OBJECT DriverTest::NewFile(std::u16string_view name) {
    PFILE_OBJECT f = sim::kernel::CreateFileObject(fdo_, name);
    files_.push_back(f);
    return f;
}

sim::kernel::IoResult DriverTest::Ioctl(ULONG code, const std::vector<UCHAR>& input,
                                        std::vector<UCHAR>* output, PFILE_OBJECT file) {
    return sim::kernel::SendDeviceControl(fdo_, file, code, input.empty() ? nullptr : input.data(),
                                          static_cast<ULONG>(input.size()),
                                          output && !output->empty() ? output->data() : nullptr,
                                          output ? static_cast<ULONG>(output->size()) : 0);
}

sim::kernel::IoResult DriverTest::Vendor(const std::vector<UCHAR>& packet,
                                         std::vector<UCHAR>* reply, ULONG outputLength) {
    std::vector<UCHAR> local(outputLength, 0xEE);
    std::vector<UCHAR>* out = reply ? reply : &local;
    out->assign(outputLength, 0xEE);
    return Ioctl(IOCTL_VENDOR_REQUEST, packet, out);
}

sim::kernel::IrpSpec DriverTest::SetPowerSpec(POWER_STATE_TYPE type, POWER_STATE state) {
    sim::kernel::IrpSpec spec;
    spec.majorFunction = IRP_MJ_POWER;
    spec.minorFunction = IRP_MN_SET_POWER;
    spec.setup = [type, state](IO_STACK_LOCATION& s) {
        s.Parameters.Power.Type = type;
        s.Parameters.Power.State = state;
    };
    return spec;
}

} // namespace norvask::test
