// One console as the window tests drive it: the main form on a headless
// window, talking to a recording fake of the platform whose chip decodes
// every write back into the coil words the coil driver latched.
#pragma once

#include "fake_platform.h"
#include "form_main.h"
#include "headless_window.h"
#include "misc_functions.h"
#include "usb_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

#include <string>
#include <vector>

namespace morlix::test {

using Words = std::vector<CoilWord>;

// The 14-word entry transaction built by hand: reset, the frame of the axis
// that changed, the other frame, execute.
inline Words EntryTransaction(Axis first, int x, int y, int phase) {
    auto frame = [phase](int amp, CoilWord axisWord) {
        return Words{static_cast<CoilWord>(amp % 256 + 256),
                     static_cast<CoilWord>(amp / 256 + 256),
                     256,
                     301,
                     axisWord,
                     static_cast<CoilWord>(phase + 256)};
    };
    Words words{0};
    Words fx = frame(x, 272);
    Words fy = frame(y, 288);
    const Words& a = first == Axis::X ? fx : fy;
    const Words& b = first == Axis::X ? fy : fx;
    words.insert(words.end(), a.begin(), a.end());
    words.insert(words.end(), b.begin(), b.end());
    words.push_back(853);
    return words;
}

inline Words Repeat(const Words& words, int times) {
    Words out;
    for (int i = 0; i < times; ++i) {
        out.insert(out.end(), words.begin(), words.end());
    }
    return out;
}

inline Words Concat(std::initializer_list<Words> parts) {
    Words out;
    for (const Words& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

inline bool AllWordsInRange(const Words& words) {
    return std::all_of(words.begin(), words.end(), [](CoilWord w) { return w >= 0 && w <= 1023; });
}

struct Console {
    explicit Console(HeadlessOptions options = {}, bool withDevice = true)
        : window(MainWindowLayout(), options) {
        if (withDevice) {
            platform.InstallDevice();
        }
        window.Attach(&form);
        window.SetObserver([this](std::string_view line) {
            journal.push_back(std::string(line) + " @" +
                              std::to_string(platform.PortWrites().size() / 3));
        });
    }

    // Words latched since the last call; forgets the platform's record.
    Words TakeWords() {
        Words words = platform.LatchedWords();
        platform.ClearCalls();
        return words;
    }

    // Loads the window and forgets what start-up sent and showed.
    void Start() {
        window.Load();
        platform.ClearCalls();
        journal.clear();
    }

    // Replaces a box's whole text as the operator would by pasting over it.
    void PasteOver(ControlId box, const std::string& text) {
        window.SelectAll(box);
        window.Paste(box, text);
    }

    std::string Setting(const std::string& name) const {
        auto value = platform.FindValue(SettingsKey.root, SettingsKey.path, name);
        if (!value) {
            return "<none>";
        }
        return std::string(value->bytes.begin(), value->bytes.end());
    }

    void StoreSetting(const std::string& name, const std::string& text) {
        platform.SetString(SettingsKey.root, SettingsKey.path, name, text, false);
    }

    FakePlatform platform;
    UsbLink link{platform};
    HeadlessWindow window;
    formMain form{window, link};
    // Visible changes, each tagged with how many words had gone out by then.
    std::vector<std::string> journal;
};

} // namespace morlix::test
