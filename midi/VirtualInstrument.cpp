#include "midi/VirtualInstrument.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

// Longest reply block the instrument builds; name or category positions beyond
// it are left out of the block.
constexpr size_t kMaxBlockSize = 1u << 20;

// Roland-style data set header for the reply blocks: F0 41 10 00 00 25 12.
constexpr uint8_t kReplyHeader[] = {0xF0, 0x41, 0x10, 0x00, 0x00, 0x25, 0x12};

// A universal non-realtime message no patch-name request asks for.
const std::vector<uint8_t> kUnrelatedSysEx = {0xF0, 0x7E, 0x7F, 0x06, 0x02, 0x41, 0x10,
                                              0x00, 0x00, 0x25, 0x01, 0x00, 0x00, 0xF7};

uint8_t DataByte(uint8_t c) {
    return c < 0x80 ? c : static_cast<uint8_t>('?');
}

// Resizes a block to `length` bytes (at least F0 F7), filling with data bytes
// and keeping the F7 at the end.
void FitBlock(std::vector<uint8_t>& block, size_t length) {
    length = std::max<size_t>(length, 2);
    block.pop_back();  // the F7
    block.resize(length - 1, 0x00);
    block.push_back(0xF7);
}

}  // namespace

const std::vector<std::string>& DemoPatchNames() {
    static const std::vector<std::string> names = {
        "Grand Piano",  "Bright Piano", "Stage EP",     "Tine EP",      "Wurly",
        "Clavinet",     "Harpsichord",  "Celesta",      "Glockenspiel", "Music Box",
        "Vibraphone",   "Marimba",      "Xylophone",    "Tubular Bell", "Dulcimer",
        "Drawbar Org",  "Perc Organ",   "Rock Organ",   "Church Organ", "Reed Organ",
        "Accordion",    "Harmonica",    "Bandoneon",    "Nylon Guitar", "Steel Guitar",
        "Jazz Guitar",  "Clean Gtr",    "Muted Gtr",    "Overdrive",    "Distortion",
        "Harmonics",    "Acoustic Bs",  "Finger Bass",  "Pick Bass",    "Fretless",
        "Slap Bass",    "Synth Bass 1", "Synth Bass 2", "Acid Bass",    "Violin",
        "Viola",        "Cello",        "Contrabass",   "Tremolo Str",  "Pizzicato",
        "Harp",         "Timpani",      "Strings",      "Slow Strings", "Syn Strings",
        "Analog Str",   "Choir Aahs",   "Voice Oohs",   "Synth Voice",  "Orch Hit",
        "Trumpet",      "Trombone",     "Tuba",         "Muted Tpt",    "French Horn",
        "Brass Sect",   "Synth Brass",  "Poly Brass",   "Soprano Sax",  "Alto Sax",
        "Tenor Sax",    "Baritone Sax", "Oboe",         "English Horn", "Bassoon",
        "Clarinet",     "Piccolo",      "Flute",        "Recorder",     "Pan Flute",
        "Bottle Blow",  "Shakuhachi",   "Whistle",      "Ocarina",      "Square Lead",
        "Saw Lead",     "Calliope",     "Chiff Lead",   "Charang",      "Solo Vox",
        "Fifth Lead",   "Bass & Lead",  "New Age Pad",  "Warm Pad",     "Polysynth",
        "Space Choir",  "Bowed Glass",  "Metal Pad",    "Halo Pad",     "Sweep Pad",
        "Ice Rain",     "Soundtrack",   "Crystal",      "Atmosphere",   "Brightness",
        "Goblins",      "Echo Drops",   "Star Theme",   "Sitar",        "Banjo",
        "Shamisen",     "Koto",         "Kalimba",      "Bagpipe",      "Fiddle",
        "Shanai",       "Tinkle Bell",  "Agogo",        "Steel Drums",  "Woodblock",
        "Taiko Drum",   "Melodic Tom",  "Synth Drum",   "Reverse Cym",  "Fret Noise",
        "Breath Noise", "Seashore",     "Bird Tweet",   "Telephone",    "Helicopter",
        "Applause",     "Gunshot",      "Standard Kit",
    };
    return names;
}

std::vector<std::vector<uint8_t>> SplitSysExMessages(const std::vector<uint8_t>& bytes) {
    std::vector<std::vector<uint8_t>> messages;
    std::vector<uint8_t> current;
    bool inMessage = false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t b = bytes[i];
        if (!inMessage) {
            if (b != 0xF0)
                throw std::runtime_error("Byte " + std::to_string(i) +
                                         " of the SysEx file lies outside an F0 ... F7 message");
            inMessage = true;
            current.assign(1, b);
        } else if (b == 0xF7) {
            current.push_back(b);
            messages.push_back(std::move(current));
            current.clear();
            inMessage = false;
        } else if (b >= 0x80) {
            throw std::runtime_error("Byte " + std::to_string(i) +
                                     " of the SysEx file interrupts an unterminated message");
        } else {
            current.push_back(b);
        }
    }
    if (inMessage) throw std::runtime_error("The SysEx file ends inside an unterminated message");
    return messages;
}

struct VirtualInstrument::Impl {
    struct Job {
        std::chrono::steady_clock::time_point due;
        std::vector<std::vector<uint8_t>> messages;
    };

    explicit Impl(InstrumentModel m) : model(std::move(m)) {
        if (model.numSysexBlocks < 1) model.numSysexBlocks = 1;
    }

    InstrumentModel model;

    mutable std::mutex mutex;  // everything below except the sender
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool stopping = false;
    std::chrono::microseconds latency{0};
    bool replay = false;
    std::vector<std::vector<uint8_t>> replayMessages;
    int silentFrom = -1;
    bool answerTwice = false;
    bool unrelatedSysEx = false;
    int blockLength = 0;
    std::vector<std::vector<uint8_t>> received;
    int program = 0;
    int requests = 0;

    // Held while the sender runs, so SetSender never races a reply in flight.
    std::mutex senderMutex;
    Sender sender;

    std::thread worker;

    const std::vector<std::string>& Names() const {
        return model.names.empty() ? DemoPatchNames() : model.names;
    }

    std::vector<std::vector<uint8_t>> Reply(int program) const {
        const size_t p =
            static_cast<size_t>(program < 0 ? -static_cast<int64_t>(program) : program);
        const size_t nameEnd =
            model.nameStartPos >= 0 && model.nameSize > 0
                ? static_cast<size_t>(model.nameStartPos) + static_cast<size_t>(model.nameSize)
                : 0;
        const size_t catEnd = model.catPos >= 0 ? static_cast<size_t>(model.catPos) + 1 : 0;
        // The data part holds the header, the name field and the category byte; F7 follows.
        size_t length = std::max({sizeof kReplyHeader, nameEnd, catEnd}) + 1;
        length = std::min(length, kMaxBlockSize);

        const auto& names = Names();
        std::string name = names.empty() ? std::string() : names[p % names.size()];
        uint8_t category = 0;
        if (model.categories.empty())
            category = static_cast<uint8_t>(p % 8);
        else
            category = model.categories[p % model.categories.size()];
        category &= 0x7F;

        std::vector<std::vector<uint8_t>> blocks;
        for (int b = 1; b <= model.numSysexBlocks; ++b) {
            std::vector<uint8_t> block(length, 0);
            std::copy(std::begin(kReplyHeader), std::end(kReplyHeader), block.begin());
            for (size_t i = sizeof kReplyHeader; i + 1 < length; ++i)
                block[i] = static_cast<uint8_t>((i + static_cast<size_t>(b) * 16) & 0x7F);
            if (b == model.nameSyxBlk) {
                for (size_t k = 0; nameEnd > 0 && k < static_cast<size_t>(model.nameSize); ++k) {
                    const size_t pos = static_cast<size_t>(model.nameStartPos) + k;
                    if (pos == 0 || pos + 1 >= length) continue;  // the framing stays
                    block[pos] = k < name.size() ? DataByte(static_cast<uint8_t>(name[k])) : ' ';
                }
                if (catEnd > 0 && model.catPos > 0 &&
                    static_cast<size_t>(model.catPos) + 1 < length)
                    block[static_cast<size_t>(model.catPos)] = category;
            }
            block[length - 1] = 0xF7;
            blocks.push_back(std::move(block));
        }
        return blocks;
    }

    // Called with `mutex` held: what one request is answered with.
    std::vector<std::vector<uint8_t>> Answer() {
        const int k = requests++;
        if (silentFrom >= 0 && k >= silentFrom) return {};
        std::vector<std::vector<uint8_t>> blocks;
        if (replay) {
            const size_t n = static_cast<size_t>(model.numSysexBlocks);
            const size_t first = static_cast<size_t>(k) * n;
            for (size_t i = first; i < first + n && i < replayMessages.size(); ++i)
                blocks.push_back(replayMessages[i]);
            if (blocks.empty()) return {};
        } else {
            blocks = Reply(program);
        }
        if (blockLength > 0)
            for (auto& block : blocks) FitBlock(block, static_cast<size_t>(blockLength));
        std::vector<std::vector<uint8_t>> out;
        if (unrelatedSysEx) out.push_back(kUnrelatedSysEx);
        out.insert(out.end(), blocks.begin(), blocks.end());
        if (answerTwice) out.insert(out.end(), blocks.begin(), blocks.end());
        return out;
    }

    void Run() {
        std::unique_lock<std::mutex> lk(mutex);
        for (;;) {
            if (stopping) return;
            if (jobs.empty()) {
                wake.wait(lk);
                continue;
            }
            if (std::chrono::steady_clock::now() < jobs.front().due) {
                wake.wait_until(lk, jobs.front().due);
                continue;
            }
            Job job = std::move(jobs.front());
            jobs.pop_front();
            lk.unlock();
            {
                std::lock_guard<std::mutex> g(senderMutex);
                if (sender)
                    for (const auto& message : job.messages) sender(message);
            }
            lk.lock();
        }
    }
};

VirtualInstrument::VirtualInstrument(InstrumentModel model)
    : impl_(std::make_unique<Impl>(std::move(model))) {
    impl_->worker = std::thread([this] { impl_->Run(); });
}

VirtualInstrument::~VirtualInstrument() {
    {
        std::lock_guard<std::mutex> g(impl_->mutex);
        impl_->stopping = true;
        impl_->jobs.clear();
    }
    impl_->wake.notify_all();
    if (impl_->worker.joinable()) impl_->worker.join();
}

void VirtualInstrument::SetSender(Sender sender) {
    std::lock_guard<std::mutex> g(impl_->senderMutex);
    impl_->sender = std::move(sender);
}

void VirtualInstrument::SetLatency(std::chrono::microseconds latency) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->latency = latency;
}

void VirtualInstrument::SetReplay(std::vector<std::vector<uint8_t>> messages) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->replay = true;
    impl_->replayMessages = std::move(messages);
}

void VirtualInstrument::SetSilentFrom(int requestNumber) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->silentFrom = requestNumber;
}

void VirtualInstrument::SetAnswerTwice(bool on) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->answerTwice = on;
}

void VirtualInstrument::SetSendUnrelatedSysEx(bool on) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->unrelatedSysEx = on;
}

void VirtualInstrument::SetBlockLength(int bytes) {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->blockLength = bytes;
}

void VirtualInstrument::Receive(const uint8_t* data, size_t size) {
    if (data == nullptr || size == 0) return;
    std::vector<uint8_t> message(data, data + size);
    bool queued = false;
    {
        std::lock_guard<std::mutex> g(impl_->mutex);
        if (impl_->stopping) return;
        if ((data[0] & 0xF0) == 0xC0 && size >= 2) {
            impl_->program = data[1];
        } else if (data[0] == 0xF0 && message == impl_->model.request) {
            auto answer = impl_->Answer();
            if (!answer.empty()) {
                impl_->jobs.push_back(
                    {std::chrono::steady_clock::now() + impl_->latency, std::move(answer)});
                queued = true;
            }
        }
        impl_->received.push_back(std::move(message));
    }
    if (queued) impl_->wake.notify_all();
}

std::vector<std::vector<uint8_t>> VirtualInstrument::Received() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->received;
}

void VirtualInstrument::ClearReceived() {
    std::lock_guard<std::mutex> g(impl_->mutex);
    impl_->received.clear();
}

int VirtualInstrument::CurrentProgram() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->program;
}

int VirtualInstrument::RequestsSeen() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->requests;
}

std::vector<std::vector<uint8_t>> VirtualInstrument::ReplyFor(int program) const {
    return impl_->Reply(program);
}
