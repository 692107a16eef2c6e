// The simulated USB bus through the libusb API: listing order and port chains,
// plug and unplug, interface claims, device reset, resource counting and the
// faults of the enumeration and open calls, and the log level given to each context.
#include <set>
#include <string>
#include <tuple>

#include "simtest.hpp"

using namespace simtest;

namespace {

class Bus : public ::testing::Test {
  protected:
    kyrsim::Scope scope;
};

struct Listed {
    int bus;
    std::vector<int> ports;
    int vendor;
    int product;
};

std::vector<Listed> listBus(libusb_context* ctx) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    EXPECT_GE(n, 0);
    std::vector<Listed> out;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        EXPECT_EQ(libusb_get_device_descriptor(list[i], &desc), 0);
        uint8_t ports[8];
        const int np = libusb_get_port_numbers(list[i], ports, 8);
        EXPECT_GE(np, 0);
        out.push_back({libusb_get_bus_number(list[i]), std::vector<int>(ports, ports + std::max(np, 0)),
                       desc.idVendor, desc.idProduct});
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return out;
}

TEST_F(Bus, ListsDevicesByBusThenPortChainWithTheirPortNumbers) {
    // Plugged out of order; the list is sorted by bus, then port chain from the root.
    const std::vector<std::tuple<int, const char*, int>> plugged = {
        {2, "1", 0x820b}, {1, "2", 0x832b},     {1, "1,3", 0x821a},
        {1, "1", 0x8f79}, {1, "1,2,4", 0x815b}, {1, "", 0x7600},
    };
    for (const auto& p : plugged) ASSERT_GE(kyrsim_plug(std::get<2>(p), std::get<0>(p), std::get<1>(p)), 0);

    Usb usb;
    const std::vector<Listed> got = listBus(usb.ctx());
    const std::vector<Listed> want = {
        {1, {}, 0x2e7b, 0x7600},     {1, {1}, 0x2e7b, 0x8f79}, {1, {1, 2, 4}, 0x2e7b, 0x815b},
        {1, {1, 3}, 0x2e7b, 0x821a}, {1, {2}, 0x2e7b, 0x832b}, {2, {1}, 0x2e7b, 0x820b},
    };
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].bus, want[i].bus);
        EXPECT_EQ(got[i].ports, want[i].ports);
        EXPECT_EQ(got[i].vendor, want[i].vendor);
        EXPECT_EQ(got[i].product, want[i].product);
    }
}

TEST_F(Bus, PortChainLimitsAndMalformedChains) {
    EXPECT_GE(kyrsim_plug(kFpgaCamera, 1, "1,2,3,4,5,6,7"), 0);  // seven levels of hubs
    for (const char* bad : {"1,2,3,4,5,6,7,8", "0", "256", "1,x", "1;2", "-1"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(kyrsim_plug(kFpgaCamera, 1, bad), -1);
    }
    EXPECT_EQ(kyrsim_plug(kFpgaCamera, 0, "1"), -1);
    EXPECT_EQ(kyrsim_plug(kFpgaCamera, 256, "1"), -1);

    Usb usb;
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(usb.ctx(), &list), 1);
    uint8_t ports[8] = {};
    EXPECT_EQ(libusb_get_port_numbers(list[0], ports, 6), LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(libusb_get_port_numbers(list[0], ports, 8), 7);
    EXPECT_EQ(ports[6], 7);
    libusb_free_device_list(list, 1);
}

TEST_F(Bus, ListOrderCanBeGivenAndRestored) {
    const int a = kyrsim_plug(0x820b, 1, "1");
    const int b = kyrsim_plug(0x821a, 1, "2");
    const int c = kyrsim_plug(0x832b, 1, "3");
    Usb usb;
    const int order[] = {c, a};
    ASSERT_EQ(kyrsim_set_list_order(order, 2), 0);
    std::vector<int> products;
    for (const auto& l : listBus(usb.ctx())) products.push_back(l.product);
    EXPECT_EQ(products, (std::vector<int>{0x832b, 0x820b, 0x821a}));  // the rest follows in bus order
    (void)b;

    ASSERT_EQ(kyrsim_set_list_order(nullptr, 0), 0);
    products.clear();
    for (const auto& l : listBus(usb.ctx())) products.push_back(l.product);
    EXPECT_EQ(products, (std::vector<int>{0x820b, 0x821a, 0x832b}));
}

TEST_F(Bus, ConfiguredVendorIdAndSerialsOfTwinCameras) {
    kyrsim_device_config cfg = kyrsim::config(0x1234, 1, "4");
    cfg.vendor_id = 0x04b4;
    ASSERT_GE(kyrsim_plug_ex(&cfg), 0);
    kyrsim::Device twin1 = kyrsim::plug(kFpgaCamera, 1, "1");
    kyrsim::Device twin2 = kyrsim::plug(kFpgaCamera, 1, "2");

    Usb usb;
    const auto listed = listBus(usb.ctx());
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2].vendor, 0x04b4);
    EXPECT_EQ(listed[2].product, 0x1234);

    Reply s1 = in(usb.open(twin1), 0xC8, 0, 0, 8);
    Reply s2 = in(usb.open(twin2), 0xC8, 0, 0, 8);
    ASSERT_EQ(s1.result, 8);
    ASSERT_EQ(s2.result, 8);
    EXPECT_NE(s1.data, s2.data);
    EXPECT_NE(s1.data, std::vector<unsigned char>(8, 0));
}

TEST_F(Bus, UnplugLeavesNewListsAndEveryCallOnItsHandlesFails) {
    kyrsim::Device cam = kyrsim::plug(kFpgaCamera, 1, "1,3");
    Usb usb;
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(usb.ctx(), &list), 1);
    libusb_device* stale = libusb_ref_device(list[0]);
    libusb_free_device_list(list, 1);
    libusb_device_handle* h = usb.open(cam);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(writeFpga(h, 4, 0x20), 0);

    ASSERT_TRUE(cam.unplug());
    EXPECT_FALSE(cam.plugged());
    EXPECT_EQ(cam.fpga(4), 0x20);  // the camera stays inspectable
    EXPECT_TRUE(listBus(usb.ctx()).empty());
    EXPECT_EQ(writeFpga(h, 4, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(readFpga(h, 4), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(h, 0x81), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_reset_device(h), LIBUSB_ERROR_NO_DEVICE);
    libusb_device_handle* again = nullptr;
    EXPECT_EQ(libusb_open(stale, &again), LIBUSB_ERROR_NO_DEVICE);
    libusb_unref_device(stale);

    // A replug at the same place is a new device with a new handle and a fresh model.
    kyrsim::Device back = kyrsim::plug(kFpgaCamera, 1, "1,3");
    ASSERT_TRUE(back.valid());
    EXPECT_NE(back.handle(), cam.handle());
    EXPECT_EQ(back.fpga(4), 0);
    EXPECT_EQ(kyrsim_device_at(1, "1,3"), back.handle());
    EXPECT_EQ(listBus(usb.ctx()).size(), 1u);
    EXPECT_EQ(readFpga(h, 4), LIBUSB_ERROR_NO_DEVICE);  // the old handle stays dead
    libusb_device_handle* h2 = usb.open(back);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(readFpga(h2, 4), 0);
    EXPECT_EQ(kyrsim_unplug(cam.handle()), -1);  // already gone
}

TEST_F(Bus, ManyMoreThan128DevicesOnOneBus) {
    constexpr int kCount = 200;
    std::vector<kyrsim::Device> cams;
    for (int i = 0; i < kCount; ++i) {
        const std::string ports = std::to_string(i / 100 + 1) + "," + std::to_string(i % 100 + 1);
        cams.push_back(kyrsim::plug(kFpgaCamera, 3, ports.c_str()));
        ASSERT_TRUE(cams.back().valid());
    }
    EXPECT_EQ(kyrsim_device_count(), kCount);
    Usb usb;
    const auto listed = listBus(usb.ctx());
    ASSERT_EQ(listed.size(), static_cast<size_t>(kCount));
    EXPECT_EQ(listed[150].ports, (std::vector<int>{2, 51}));
    for (size_t i = 1; i < listed.size(); ++i) EXPECT_LT(listed[i - 1].ports, listed[i].ports);
}

TEST_F(Bus, SecondHandleCannotClaimAnInterfaceTheFirstHolds) {
    kyrsim::Device cam = kyrsim::plug(kFpgaCamera);
    Usb usb;
    libusb_device_handle* first = usb.openRaw(cam);
    libusb_device_handle* second = usb.openRaw(cam);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(cam.query(KYRSIM_Q_OPEN_HANDLES), 2);

    EXPECT_EQ(libusb_set_configuration(first, 1), 0);
    EXPECT_EQ(libusb_claim_interface(first, 0), 0);
    EXPECT_EQ(libusb_claim_interface(first, 0), 0);  // claiming again is harmless
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_configuration(second, 1), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(second, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(cam.query(KYRSIM_Q_CLAIMED), 1);

    usb.close(first);  // closing releases the claim
    EXPECT_EQ(cam.query(KYRSIM_Q_CLAIMED), 0);
    EXPECT_EQ(libusb_claim_interface(second, 0), 0);
    EXPECT_EQ(libusb_release_interface(second, 0), 0);
    EXPECT_EQ(libusb_claim_interface(second, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_configuration(second, 2), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(Bus, CountsContextsListsReferencesAndHandles) {
    kyrsim::Device cam = kyrsim::plug(kFpgaCamera);
    kyrsim::plug(0x820b, 1, "2");
    const kyrsim::Resources before;
    EXPECT_EQ(before.contexts, 0);

    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    EXPECT_EQ(kyrsim_live_contexts(), 1);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 2);
    EXPECT_EQ(kyrsim_outstanding_lists(), 1);
    EXPECT_EQ(kyrsim_device_refs(), 2);
    const std::vector<libusb_device*> devs(list, list + 2);

    libusb_device* kept = libusb_ref_device(list[0]);
    EXPECT_EQ(kyrsim_device_refs(), 3);
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    EXPECT_EQ(kyrsim_open_handles(), 1);
    EXPECT_EQ(kyrsim_device_refs(), 4);
    EXPECT_EQ(libusb_get_device(h), list[0]);

    libusb_free_device_list(list, 0);  // without unref the list's references stay
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);
    EXPECT_EQ(kyrsim_device_refs(), 4);
    libusb_close(h);
    libusb_unref_device(kept);
    EXPECT_EQ(kyrsim_open_handles(), 0);
    EXPECT_EQ(kyrsim_device_refs(), 2);

    ASSERT_EQ(libusb_get_device_list(ctx, &list), 2);
    EXPECT_EQ(std::vector<libusb_device*>(list, list + 2), devs);  // the same objects come back
    libusb_free_device_list(list, 1);
    EXPECT_EQ(kyrsim_device_refs(), 2);
    for (libusb_device* d : devs) libusb_unref_device(d);
    EXPECT_EQ(kyrsim_device_refs(), 0);
    libusb_exit(ctx);
    EXPECT_EQ(kyrsim::Resources(), before);
    EXPECT_EQ(kyrsim_misuse_count(), 0);
    (void)cam;
}

TEST_F(Bus, DefaultContextIsReferenceCounted) {
    kyrsim::plug(kFpgaCamera);
    ASSERT_EQ(libusb_init(nullptr), 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
    EXPECT_EQ(kyrsim_live_contexts(), 1);
    libusb_device** list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), 1);
    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
    EXPECT_EQ(kyrsim_live_contexts(), 1);
    libusb_exit(nullptr);
    EXPECT_EQ(kyrsim_live_contexts(), 0);
    EXPECT_EQ(kyrsim_misuse_count(), 0);
}

TEST_F(Bus, InitFailsTheNextNTimes) {
    kyrsim_fail_init(2, LIBUSB_ERROR_NO_MEM);
    libusb_context* ctx = nullptr;
    EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(libusb_init(&ctx), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(kyrsim_live_contexts(), 0);
    ASSERT_EQ(libusb_init(&ctx), 0);
    EXPECT_EQ(kyrsim_live_contexts(), 1);
    libusb_exit(ctx);
}

TEST_F(Bus, RefusedOpenFailedDescriptorAndFailedListAreReported) {
    kyrsim::Device refused = kyrsim::plug(kFpgaCamera, 1, "1");
    kyrsim::Device blind = kyrsim::plug(kFpgaCamera, 1, "2");
    ASSERT_TRUE(refused.refuseOpen(LIBUSB_ERROR_ACCESS));
    ASSERT_TRUE(blind.failDescriptor(LIBUSB_ERROR_IO));
    Usb usb;
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(usb.ctx(), &list), 2);
    libusb_device_descriptor desc{};
    libusb_device_handle* h = nullptr;
    EXPECT_EQ(libusb_get_device_descriptor(list[0], &desc), 0);
    EXPECT_EQ(libusb_open(list[0], &h), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(libusb_get_device_descriptor(list[1], &desc), LIBUSB_ERROR_IO);
    EXPECT_EQ(kyrsim_open_handles(), 0);

    ASSERT_TRUE(refused.refuseOpen(0));
    ASSERT_TRUE(blind.failDescriptor(0));
    EXPECT_EQ(libusb_get_device_descriptor(list[1], &desc), 0);
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    libusb_close(h);
    libusb_free_device_list(list, 1);

    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_GET_LIST, KYRSIM_ANY, LIBUSB_ERROR_NO_MEM, 1), 0);
    EXPECT_EQ(libusb_get_device_list(usb.ctx(), &list), LIBUSB_ERROR_NO_MEM);
    ASSERT_EQ(libusb_get_device_list(usb.ctx(), &list), 2);  // only once
    libusb_free_device_list(list, 1);
    EXPECT_EQ(kyrsim_outstanding_lists(), 0);
}

TEST_F(Bus, CallFaultsActOnTheirCameraForTheGivenCount) {
    kyrsim::Device a = kyrsim::plug(kFpgaCamera, 1, "1");
    kyrsim::Device b = kyrsim::plug(kFpgaCamera, 1, "2");
    Usb usb;
    libusb_device_handle* ha = usb.openRaw(a);
    libusb_device_handle* hb = usb.openRaw(b);
    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_CLAIM, a.handle(), LIBUSB_ERROR_IO, 2), 0);
    EXPECT_EQ(libusb_claim_interface(hb, 0), 0);
    EXPECT_EQ(libusb_claim_interface(ha, 0), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_claim_interface(ha, 0), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_claim_interface(ha, 0), 0);

    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_SET_CONFIG, KYRSIM_ANY, LIBUSB_ERROR_TIMEOUT, -1), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(libusb_set_configuration(ha, 1), LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_SET_CONFIG, KYRSIM_ANY, 0, 0), 0);
    EXPECT_EQ(libusb_set_configuration(ha, 1), 0);
}

// A rule from the nth call: the calls before it go through, calls on other
// cameras do not count, and a new rule for the same call and camera replaces
// the old one.
TEST_F(Bus, CallFaultsCanStartAtTheNthMatchingCall) {
    struct Case {
        int nth, times;
        const char* pattern;  // six claims on camera a: 'x' fails, 'o' succeeds
    };
    const Case cases[] = {{3, 2, "ooxxoo"}, {1, 1, "xooooo"}, {4, -1, "oooxxx"}, {6, 1, "ooooox"}};
    kyrsim::Device a = kyrsim::plug(kFpgaCamera, 1, "1");
    kyrsim::Device b = kyrsim::plug(kFpgaCamera, 1, "2");
    Usb usb;
    libusb_device_handle* ha = usb.openRaw(a);
    libusb_device_handle* hb = usb.openRaw(b);
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        ASSERT_TRUE(a.failCall(KYRSIM_CALL_CLAIM, LIBUSB_ERROR_IO, c.nth, c.times));
        std::string got;
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(libusb_claim_interface(hb, 0), 0);  // the other camera's calls are not counted
            EXPECT_EQ(libusb_release_interface(hb, 0), 0);
            const int r = libusb_claim_interface(ha, 0);
            got += r == 0 ? 'o' : r == LIBUSB_ERROR_IO ? 'x' : '?';
            if (r == 0) libusb_release_interface(ha, 0);
        }
        EXPECT_EQ(got, c.pattern);
        ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_CLAIM, a.handle(), 0, 0), 0);
    }

    // kyrsim_fail_call replaces a rule still waiting for its nth call.
    ASSERT_EQ(kyrsim_fail_call_nth(KYRSIM_CALL_CLAIM, a.handle(), LIBUSB_ERROR_IO, 2, 1), 0);
    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_CLAIM, a.handle(), LIBUSB_ERROR_BUSY, 1), 0);
    EXPECT_EQ(libusb_claim_interface(ha, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(ha, 0), 0);
    EXPECT_EQ(libusb_claim_interface(ha, 0), 0);

    // While one rule lets a call through, a rule for any camera still acts on it.
    ASSERT_EQ(kyrsim_fail_call_nth(KYRSIM_CALL_CLAIM, a.handle(), LIBUSB_ERROR_IO, 2, 1), 0);
    ASSERT_EQ(kyrsim_fail_call(KYRSIM_CALL_CLAIM, KYRSIM_ANY, LIBUSB_ERROR_ACCESS, 1), 0);
    EXPECT_EQ(libusb_claim_interface(ha, 0), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(libusb_claim_interface(ha, 0), LIBUSB_ERROR_IO);
    EXPECT_EQ(libusb_claim_interface(ha, 0), 0);

    EXPECT_EQ(kyrsim_fail_call_nth(KYRSIM_CALL_CLAIM, a.handle(), LIBUSB_ERROR_IO, 0, 1), -1);
    EXPECT_EQ(kyrsim_fail_call_nth(KYRSIM_CALL_CLAIM, a.handle(), LIBUSB_ERROR_IO, 1, -2), -1);
    EXPECT_EQ(kyrsim_fail_call_nth(KYRSIM_CALL_ALLOC + 1, KYRSIM_ANY, LIBUSB_ERROR_IO, 1, 1), -1);
}

// The log level handed to each context is recorded as passed; levels out of
// range are refused as by libusb and leave the context's level as it was.
TEST_F(Bus, LogLevelOfEachContextIsRecorded) {
    EXPECT_EQ(kyrsim_last_log_level(), -1);
    libusb_context* a = nullptr;
    libusb_context* b = nullptr;
    ASSERT_EQ(libusb_init(&a), 0);
    ASSERT_EQ(libusb_init(&b), 0);
    EXPECT_EQ(kyrsim_context_log_level(a), -1);
    struct Step {
        libusb_context* ctx;
        int level;
        int result;
        int levelA, levelB;  // the contexts' levels afterwards
    };
    const Step steps[] = {
        {a, LIBUSB_LOG_LEVEL_WARNING, 0, 2, -1},   {b, LIBUSB_LOG_LEVEL_NONE, 0, 2, 0},
        {a, LIBUSB_LOG_LEVEL_DEBUG, 0, 4, 0},      {a, 7, LIBUSB_ERROR_INVALID_PARAM, 4, 0},
        {b, -2, LIBUSB_ERROR_INVALID_PARAM, 4, 0},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.level);
        EXPECT_EQ(libusb_set_option(st.ctx, LIBUSB_OPTION_LOG_LEVEL, st.level), st.result);
        EXPECT_EQ(kyrsim_last_log_level(), st.level);
        EXPECT_EQ(kyrsim_context_log_level(a), st.levelA);
        EXPECT_EQ(kyrsim_context_log_level(b), st.levelB);
    }

    // NULL names the default context.
    EXPECT_EQ(kyrsim_context_log_level(nullptr), -1);
    ASSERT_EQ(libusb_init(nullptr), 0);
    EXPECT_EQ(libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_INFO), 0);
    EXPECT_EQ(kyrsim_context_log_level(nullptr), LIBUSB_LOG_LEVEL_INFO);
    EXPECT_EQ(kyrsim_context_log_level(a), 4);
    libusb_exit(nullptr);

    kyrsim::reset();  // forgets the last call, not the contexts' levels
    EXPECT_EQ(kyrsim_last_log_level(), -1);
    EXPECT_EQ(kyrsim_context_log_level(a), 4);
    int notAContext = 0;
    EXPECT_EQ(kyrsim_context_log_level(&notAContext), -1);
    libusb_exit(a);
    EXPECT_EQ(kyrsim_context_log_level(a), -1);
    libusb_exit(b);
    EXPECT_EQ(kyrsim_misuse_count(), 0);
}

TEST_F(Bus, NormalResetKeepsTheCameraStateAndTheHandle) {
    kyrsim::Device cam = kyrsim::plug(kFpgaCamera);
    Usb usb;
    libusb_device_handle* h = usb.open(cam);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(writeFpga(h, 38, 0x55), 0);
    ASSERT_EQ(out(h, 0xA6, 0x3012, 0x0456), 0);
    ASSERT_EQ(out(h, 0xA9), 0);
    cam.haltEndpoint(0x81);
    const long long address = cam.query(KYRSIM_Q_ADDRESS);

    EXPECT_EQ(libusb_reset_device(h), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_USB_RESETS), 1);
    EXPECT_EQ(cam.query(KYRSIM_Q_STREAMING), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_HALTED), 0);
    EXPECT_EQ(cam.query(KYRSIM_Q_ADDRESS), address);
    EXPECT_EQ(readFpga(h, 38), 0x55);  // the FPGA and sensor keep their registers
    EXPECT_EQ(cam.sensor(0x3012), 0x0456);
    EXPECT_EQ(cam.query(KYRSIM_Q_CLAIMED), 1);
}

TEST_F(Bus, ReenumeratingResetKillsTheHandleAndTheCameraReturnsAtANewAddress) {
    kyrsim::Device cam = kyrsim::plug(kFpgaCamera, 1, "5");
    ASSERT_TRUE(cam.setResetMode(KYRSIM_RESET_REENUMERATE));
    Usb usb;
    libusb_device_handle* h = usb.open(cam);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(writeFpga(h, 38, 0x66), 0);
    const long long address = cam.query(KYRSIM_Q_ADDRESS);

    EXPECT_EQ(libusb_reset_device(h), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(readFpga(h, 38), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(cam.plugged());
    EXPECT_NE(cam.query(KYRSIM_Q_ADDRESS), address);
    EXPECT_EQ(cam.query(KYRSIM_Q_CLAIMED), 0);

    libusb_device_handle* h2 = usb.open(cam);  // found again in a new list
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(readFpga(h2, 38), 0x66);
}

TEST_F(Bus, ResetForgetsCamerasButCallerObjectsStayUsable) {
    kyrsim::Device cam = kyrsim::plug(kFpgaCamera);
    Usb usb;
    libusb_device_handle* h = usb.open(cam);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(out(h, 0x99), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(kyrsim_unexpected_count(), 1);
    kyrsim::Fault().request(0xBC).always().error(LIBUSB_ERROR_IO).add();

    kyrsim_reset();
    EXPECT_EQ(kyrsim_device_count(), 0);
    EXPECT_EQ(kyrsim_log_count(), 0);
    EXPECT_EQ(kyrsim_unexpected_count(), 0);
    EXPECT_EQ(cam.fpga(0), -1);  // the handle is forgotten
    EXPECT_EQ(readFpga(h, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(kyrsim_open_handles(), 1);  // closed by the Usb helper, without misuse

    kyrsim::Device fresh = kyrsim::plug(kFpgaCamera);
    libusb_device_handle* h2 = usb.open(fresh);
    ASSERT_NE(h2, nullptr);
    EXPECT_GE(readFpga(h2, 0), 0);  // the fault rule went with the reset
}

TEST_F(Bus, MisuseIsCountedInsteadOfCrashing) {
    kyrsim::Device cam = kyrsim::plug(kFpgaCamera);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 1);
    libusb_device* dev = list[0];
    libusb_free_device_list(list, 1);
    EXPECT_EQ(kyrsim_misuse_count(), 0);

    libusb_free_device_list(list, 1);  // freed twice
    EXPECT_EQ(kyrsim_misuse_count(), 1);
    libusb_unref_device(dev);  // its last reference went with the list
    EXPECT_EQ(kyrsim_misuse_count(), 2);
    libusb_exit(ctx);
    libusb_exit(ctx);  // exited twice
    EXPECT_EQ(kyrsim_misuse_count(), 3);
    (void)cam;
}

TEST(LibusbErrors, NamesAndTexts) {
    const std::vector<std::pair<int, std::string>> names = {
        {LIBUSB_SUCCESS, "LIBUSB_SUCCESS"},
        {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO"},
        {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE"},
        {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE"},
        {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT"},
        {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND"},
        {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY"},
        {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM"},
        {-12345, "**UNKNOWN**"},
    };
    for (const auto& n : names) EXPECT_EQ(libusb_error_name(n.first), n.second);
    EXPECT_STREQ(libusb_strerror(LIBUSB_ERROR_TIMEOUT), "Operation timed out");
    EXPECT_EQ(libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, 3), 0);
}

}  // namespace
