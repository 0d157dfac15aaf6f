// Captures the inside of one window as the X server shows it, again and
// again, for the end-to-end test: a shell loop of xwininfo and xwd takes
// 50 to 100 ms a round on a busy machine, longer than some comparisons last.
//
//   duvo_e2e_capture [--late MS] WINDOW OUTDIR
//
// Waits up to 30 s for WINDOW (an X window id, decimal or 0x hex) to be on
// the screen, then writes OUTDIR/NNN.ppm about every 10 ms while it stays
// there, and stops once it has been off the screen for 300 ms (or after 1000
// captures). Prints one line per capture: its number and the milliseconds
// since the window was first seen on the screen. Exit status 1 when the
// window never showed.
//
// With --late, the window's inside stays hidden for its first MS ms on the
// screen, as under a window manager that shows the frame a while after it
// has mapped the window: a black child window covers it, so the server
// neither shows what the program paints there nor tells it that the window
// is exposed. Times then count from the moment the cover goes. Exit status 3
// when the window leaves the screen while still covered.
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

bool Viewable(xcb_connection_t* c, xcb_window_t window) {
    Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr), &std::free);
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

// The window's pixels as a binary PPM; false when the window went off the
// screen meanwhile (the server then refuses the image) or has another depth
// than the 24-bit screens the test runs on.
bool Capture(xcb_connection_t* c, xcb_window_t window, const std::string& path) {
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr),
                                             &std::free);
    if (!geometry || geometry->depth != 24) return false;
    const int width = geometry->width, height = geometry->height;
    Reply<xcb_get_image_reply_t> image(
        xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, geometry->width, geometry->height, ~0u),
            nullptr),
        &std::free);
    if (!image) return false;
    // 24-bit pixels travel as 32-bit words, blue in the lowest byte.
    const int length = xcb_get_image_data_length(image.get());
    if (length < width * height * 4) return false;
    const std::uint8_t* data = xcb_get_image_data(image.get());
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fprintf(out, "P6\n%d %d\n255\n", width, height);
    for (int i = 0; i < width * height; ++i) {
        const std::uint8_t rgb[3] = {data[4 * i + 2], data[4 * i + 1], data[4 * i]};
        std::fwrite(rgb, 1, 3, out);
    }
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    int late = 0;
    if (argc == 5 && std::string(argv[1]) == "--late") {
        late = std::atoi(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc != 3 || late < 0) {
        std::fprintf(stderr, "usage: duvo_e2e_capture [--late MS] WINDOW OUTDIR\n");
        return 2;
    }
    const auto window = static_cast<xcb_window_t>(std::strtoul(argv[1], nullptr, 0));
    const std::string folder = argv[2];
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "duvo_e2e_capture: cannot reach the X server\n");
        return 2;
    }

    // The cover is made before the window is shown, so that no moment of
    // the window's inside reaches the screen early; it is far larger than
    // the window, which clips it, whatever size the window is shown at.
    xcb_window_t cover = XCB_NONE;
    if (late > 0) {
        cover = xcb_generate_id(c);
        const std::uint32_t black = 0;
        Reply<xcb_generic_error_t> made(
            xcb_request_check(c, xcb_create_window_checked(c, XCB_COPY_FROM_PARENT, cover, window, 0, 0, 8192, 8192, 0,
                                                           XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                                                           XCB_CW_BACK_PIXEL, &black)),
            &std::free);
        Reply<xcb_generic_error_t> mapped(xcb_request_check(c, xcb_map_window_checked(c, cover)), &std::free);
        if (made || mapped) {
            std::fprintf(stderr, "duvo_e2e_capture: cannot cover window %s\n", argv[1]);
            return 2;
        }
    }

    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!Viewable(c, window)) {
        if (Clock::now() > deadline) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (cover != XCB_NONE) {
        const auto came = Clock::now();
        while (Clock::now() - came < std::chrono::milliseconds(late)) {
            if (!Viewable(c, window)) {
                std::fprintf(stderr, "off the screen %lld ms after it came, still covered\n",
                             static_cast<long long>(
                                 std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - came).count()));
                return 3;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        xcb_destroy_window(c, cover);
        xcb_flush(c);
    }
    const auto shown = Clock::now();
    auto lastSeen = shown;
    for (int n = 0; n < 1000 && Clock::now() - lastSeen < std::chrono::milliseconds(300);) {
        char name[16];
        std::snprintf(name, sizeof name, "/%03d.ppm", n);
        // Kept only when the window was on the screen before and after.
        if (Viewable(c, window) && Capture(c, window, folder + name) && Viewable(c, window)) {
            lastSeen = Clock::now();
            std::printf("%d %lld\n", n++,
                        static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(lastSeen - shown).count()));
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    xcb_disconnect(c);
    return 0;
}
