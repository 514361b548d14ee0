// The report step of kesu-compare: reads the records of one or more runs,
// takes the median of each figure across runs (a ratio is always taken
// within one run first, so that it never mixes two runs' machines), checks
// the figures against the targets and prints one Markdown table.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "CompareParts.h"
#include "CompareSupport.h"

namespace kesu_bench {
namespace {

// Targets of the comparison.
constexpr double kReceiveMinRatio = 0.9;        // of the raw same-syscall loop, every size
constexpr double kSendMinRawRatio = 0.8;        // of the raw write loop, 16 B to 4 KiB
constexpr double kOneWayMaxRatio = 1.2;         // of the raw socket pattern
constexpr double kSmallFrameMinDbusRatio = 3;   // of D-Bus signals, up to 256 B
constexpr size_t kAboveZmqFromBytes = 4096;     // above ZeroMQ PUSH/PULL from here up
constexpr double kProcessPollMs = 100;          // the launcher's designed poll
constexpr double kProcessSlackMs = 5;           // allowed beyond it

using Run = std::map<std::string, double>;

std::string key(std::string const& part, size_t size, std::string const& impl, std::string const& metric) {
    return part + "|" + std::to_string(size) + "|" + impl + "|" + metric;
}

class Figures {
public:
    bool load(std::string const& path) {
        std::ifstream in(path);
        if (!in) return false;
        Run run;
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> fields;
            std::stringstream cells(line);
            std::string cell;
            while (std::getline(cells, cell, '\t')) fields.push_back(cell);
            if (fields.size() != 5) continue;
            if (fields[3] == "skipped") {
                skipped[fields[0] + "|" + fields[2]] = fields[4];
                continue;
            }
            run[key(fields[0], std::stoul(fields[1]), fields[2], fields[3])] = std::stod(fields[4]);
        }
        runs.push_back(run);
        return true;
    }

    size_t runCount() const { return runs.size(); }

    std::optional<double> value(std::string const& part, size_t size, std::string const& impl,
                                std::string const& metric) const {
        std::vector<double> values;
        std::string k = key(part, size, impl, metric);
        for (Run const& run : runs) {
            auto it = run.find(k);
            if (it != run.end()) values.push_back(it->second);
        }
        if (values.empty()) return std::nullopt;
        return median(values);
    }

    // The median across runs of a ratio the run measured trial by trial
    // (metric "vs_<reference>"), or failing that of the ratio of the run's
    // two figures.
    std::optional<double> pairedRatio(std::string const& part, size_t size, std::string const& subject,
                                      std::string const& reference, std::string const& metric) const {
        std::optional<double> paired = value(part, size, subject, "vs_" + reference);
        if (paired) return paired;
        return ratio(key(part, size, subject, metric), key(part, size, reference, metric));
    }

    // numerator / denominator within each run, then the median across runs.
    std::optional<double> ratio(std::string const& numeratorKey, std::string const& denominatorKey) const {
        std::vector<double> ratios;
        for (Run const& run : runs) {
            auto n = run.find(numeratorKey);
            auto d = run.find(denominatorKey);
            if (n != run.end() && d != run.end() && d->second > 0) ratios.push_back(n->second / d->second);
        }
        if (ratios.empty()) return std::nullopt;
        return median(ratios);
    }

    std::optional<std::string> skipReason(std::string const& part, std::string const& impl) const {
        auto it = skipped.find(part + "|" + impl);
        if (it == skipped.end()) return std::nullopt;
        return it->second;
    }

private:
    std::vector<Run> runs;
    std::map<std::string, std::string> skipped;
};

__attribute__((format(printf, 1, 2))) std::string format(const char* pattern, ...) {
    char text[128];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

std::string sizeLabel(size_t size) {
    if (size >= 1024 && size % 1024 == 0) return std::to_string(size / 1024) + " KiB";
    return std::to_string(size) + " B";
}

std::string rate(double framesPerSecond) {
    if (framesPerSecond >= 1e6) return format("%.2f M frames/s", framesPerSecond / 1e6);
    if (framesPerSecond >= 1e3) return format("%.0f k frames/s", framesPerSecond / 1e3);
    return format("%.0f frames/s", framesPerSecond);
}

std::string throughput(Figures const& figures, std::string const& part, size_t size, std::string const& impl) {
    std::optional<double> fps = figures.value(part, size, impl, "fps");
    if (!fps) return "no figure";
    std::string text = rate(*fps);
    if (size > 0) text += format(", %.1f MB/s", *fps * static_cast<double>(size) / 1e6);
    std::optional<double> csw = figures.value(part, size, impl, "csw");
    if (csw) text += format(", %.2f switches/frame", *csw);
    return text;
}

std::string times(std::optional<double> const& r) { return r ? format("%.2f ×", *r) : std::string("n/a"); }

std::string verdict(bool met) { return met ? "met" : "**missed**"; }

using Row = std::vector<std::string>;

// Columns on a terminal: UTF-8 continuation bytes take no column.
size_t displayWidth(std::string const& text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void printTable(std::vector<Row> const& rows) {
    std::vector<size_t> widths(rows.front().size(), 0);
    for (Row const& row : rows)
        for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], displayWidth(row[c]));
    auto print = [&](Row const& row) {
        std::string line = "|";
        for (size_t c = 0; c < row.size(); ++c)
            line += " " + row[c] + std::string(widths[c] - displayWidth(row[c]), ' ') + " |";
        std::puts(line.c_str());
    };
    print(rows.front());
    std::string rule = "|";
    for (size_t width : widths) rule += std::string(width + 2, '-') + "|";
    std::puts(rule.c_str());
    for (size_t r = 1; r < rows.size(); ++r) print(rows[r]);
}

void receiveRows(Figures const& f, std::vector<Row>& rows) {
    for (size_t size : kPayloadSizes) {
        std::optional<double> r = f.pairedRatio("receive", size, "kesu", "raw", "fps");
        std::string goal = format("≥ %.1f × raw: ", kReceiveMinRatio) + (r ? verdict(*r >= kReceiveMinRatio) : "n/a");
        rows.push_back({"receive", sizeLabel(size), "kesu client: read, build, decode, dispatch",
                        throughput(f, "receive", size, "kesu"), times(r) + " raw", goal});
        rows.push_back({"receive", sizeLabel(size), "raw loop: recv 8, recv n into a fresh buffer",
                        throughput(f, "receive", size, "raw"), "", ""});
    }
}

void sendRows(Figures const& f, std::vector<Row>& rows) {
    for (size_t size : kPayloadSizes) {
        std::optional<double> toRaw = f.pairedRatio("send", size, "kesu", "raw", "fps");
        std::optional<double> toQueue = f.pairedRatio("send", size, "kesu", "raw+queue", "fps");
        std::string goal;
        if (size >= 16 && size <= 4096)
            goal = format("≥ %.1f × raw: ", kSendMinRawRatio) + (toRaw ? verdict(*toRaw >= kSendMinRawRatio) : "n/a") +
                   "; ";
        goal += "≥ raw+queue: " + (toQueue ? verdict(*toQueue >= 1.0) : std::string("n/a"));
        rows.push_back({"send", sizeLabel(size), "kesu sendMessage → sender thread", throughput(f, "send", size, "kesu"),
                        times(toRaw) + " raw, " + times(toQueue) + " raw+queue", goal});
        rows.push_back({"send", sizeLabel(size), "raw write loop: header, payload", throughput(f, "send", size, "raw"),
                        "", ""});
        rows.push_back({"send", sizeLabel(size), "raw+queue: mutex + condvar queue, writer thread",
                        throughput(f, "send", size, "raw+queue"), "", ""});
    }
}

// A peer's throughput rows, with the library's receive and send against it.
void peerRows(Figures const& f, std::vector<Row>& rows, std::string const& part, std::string const& impl,
              std::string const& label, bool small, bool large) {
    if (auto reason = f.skipReason(part, impl)) {
        rows.push_back({part, "all", label, "skipped: " + *reason, "", ""});
        return;
    }
    for (size_t size : kPayloadSizes) {
        std::string peer = key(part, size, impl, "fps");
        std::optional<double> recv = f.ratio(key("receive", size, "kesu", "fps"), peer);
        std::optional<double> send = f.ratio(key("send", size, "kesu", "fps"), peer);
        std::string goal;
        if (small && size <= 256) {
            bool met = recv && send && *recv >= kSmallFrameMinDbusRatio && *send >= kSmallFrameMinDbusRatio;
            goal = format("kesu ≥ %.0f × D-Bus: ", kSmallFrameMinDbusRatio) + (recv && send ? verdict(met) : "n/a");
        }
        if (large && size >= kAboveZmqFromBytes) {
            bool met = recv && send && *recv > 1.0 && *send > 1.0;
            goal = "kesu above ZeroMQ: " + (recv && send ? verdict(met) : std::string("n/a"));
        }
        rows.push_back({part, sizeLabel(size), label, throughput(f, part, size, impl),
                        "kesu receive " + times(recv) + ", send " + times(send), goal});
    }
}

std::string roundTrip(Figures const& f, std::string const& impl) {
    std::optional<double> p50 = f.value("latency", kLatencyPayloadBytes, impl, "rtt_p50_us");
    std::optional<double> p99 = f.value("latency", kLatencyPayloadBytes, impl, "rtt_p99_us");
    if (!p50 || !p99) return "no figure";
    return format("one-way %.1f µs", *p50 / 2) + format(" (round trip median %.1f µs", *p50) +
           format(", p99 %.1f µs)", *p99);
}

void latencyRows(Figures const& f, std::vector<Row>& rows) {
    std::string kesu = key("latency", kLatencyPayloadBytes, "kesu", "rtt_p50_us");
    std::optional<double> toRaw = f.pairedRatio("latency", kLatencyPayloadBytes, "kesu", "raw", "rtt_p50_us");
    std::optional<double> toZmq = f.ratio(kesu, key("latency", kLatencyPayloadBytes, "zmq-pair", "rtt_p50_us"));
    std::optional<double> toDbus = f.ratio(kesu, key("latency", kLatencyPayloadBytes, "dbus-call", "rtt_p50_us"));
    std::string goal = format("≤ %.1f × raw: ", kOneWayMaxRatio) + (toRaw ? verdict(*toRaw <= kOneWayMaxRatio) : "n/a") +
                       "; below ZeroMQ: " + (toZmq ? verdict(*toZmq < 1.0) : std::string("n/a (skipped)")) +
                       "; below D-Bus: " + (toDbus ? verdict(*toDbus < 1.0) : std::string("n/a (skipped)"));
    std::string size = sizeLabel(kLatencyPayloadBytes);
    rows.push_back({"latency", size, "kesu: handler replies through sendMessage", roundTrip(f, "kesu"),
                    times(toRaw) + " raw, " + times(toZmq) + " ZeroMQ, " + times(toDbus) + " D-Bus", goal});
    rows.push_back({"latency", size, "raw: two threads, write / recv ping-pong", roundTrip(f, "raw"), "", ""});
    std::optional<double> queueToRaw = f.pairedRatio("latency", kLatencyPayloadBytes, "raw+queue", "raw", "rtt_p50_us");
    rows.push_back({"latency", size, "raw+queue: reply handed to a writer thread", roundTrip(f, "raw+queue"),
                    times(queueToRaw) + " raw", ""});
    auto peer = [&](std::string const& impl, std::string const& label) {
        if (auto reason = f.skipReason("latency", impl))
            rows.push_back({"latency", size, label, "skipped: " + *reason, "", ""});
        else
            rows.push_back({"latency", size, label, roundTrip(f, impl), "", ""});
    };
    peer("zmq-pair", "ZeroMQ PAIR ping-pong, ipc://");
    peer("dbus-call", "D-Bus method call, private daemon");
}

std::string processFigure(Figures const& f, std::string const& impl) {
    std::optional<double> medianMs = f.value("process", 0, impl, "median_ms");
    if (!medianMs) return "no figure";
    std::string text = format("median %.1f ms", *medianMs);
    std::optional<double> minMs = f.value("process", 0, impl, "min_ms");
    std::optional<double> maxMs = f.value("process", 0, impl, "max_ms");
    std::optional<double> sigma = f.value("process", 0, impl, "stddev_ms");
    if (minMs && maxMs) text += format(", range %.1f", *minMs) + format("–%.1f ms", *maxMs);
    if (sigma) text += format(", σ %.2f ms", *sigma);
    std::optional<double> rss = f.value("process", 0, impl, "rss_kb");
    if (rss) text += format(", peak RSS %.0f KiB", *rss);
    return text;
}

void processRows(Figures const& f, std::vector<Row>& rows) {
    if (auto reason = f.skipReason("process", "uri-launcher")) {
        rows.push_back({"whole process", "", "uri-launcher URI against kesu-dev-server", "skipped: " + *reason, "", ""});
        return;
    }
    std::optional<double> launcher = f.value("process", 0, "uri-launcher", "median_ms");
    std::optional<double> floor = f.value("process", 0, "connect-write", "median_ms");
    std::string beyond = launcher ? format("%.1f ms beyond the 100 ms poll", *launcher - kProcessPollMs) : "n/a";
    if (floor) beyond += format("; floor %.1f ms", *floor);
    std::string goal = format("≤ %.0f ms: ", kProcessPollMs + kProcessSlackMs) +
                       (launcher ? verdict(*launcher <= kProcessPollMs + kProcessSlackMs) : "n/a");
    rows.push_back({"whole process", "", "uri-launcher URI against kesu-dev-server", processFigure(f, "uri-launcher"),
                    beyond, goal});
    rows.push_back({"whole process", "", "floor: C++ program, connect and write one frame",
                    processFigure(f, "connect-write"), "", ""});
}

void writePlotData(Figures const& f, std::string const& path) {
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr) die(path.c_str());
    std::fprintf(out, "# index size kesu_receive kesu_send raw_receive raw_send raw_queue zmq_pushpull dbus_signal\n");
    int index = 0;
    for (size_t size : kPayloadSizes) {
        std::string label = sizeLabel(size);
        label.erase(std::remove(label.begin(), label.end(), ' '), label.end());
        std::fprintf(out, "%d %s", index++, label.c_str());
        const std::pair<const char*, const char*> series[] = {
            {"receive", "kesu"}, {"send", "kesu"},         {"receive", "raw"}, {"send", "raw"},
            {"send", "raw+queue"}, {"zmq-pushpull", "zmq"}, {"dbus-signal", "dbus"}};
        for (auto const& [part, impl] : series) {
            std::optional<double> fps = f.value(part, size, impl, "fps");
            if (fps)
                std::fprintf(out, " %.0f", *fps);
            else
                std::fputs(" ?", out);
        }
        std::fputc('\n', out);
    }
    std::fclose(out);
}

}  // namespace

int report(std::vector<std::string> const& recordFiles, std::string const& plotDataPath) {
    Figures figures;
    for (std::string const& path : recordFiles) {
        if (!figures.load(path)) {
            std::fprintf(stderr, "kesu-compare: cannot read %s\n", path.c_str());
            return 2;
        }
    }
    std::vector<Row> rows = {{"Part", "Payload", "Implementation", "Result", "Against", "Target"}};
    receiveRows(figures, rows);
    sendRows(figures, rows);
    latencyRows(figures, rows);
    peerRows(figures, rows, "zmq-pushpull", "zmq", "ZeroMQ PUSH/PULL, ipc://", false, true);
    peerRows(figures, rows, "dbus-signal", "dbus", "D-Bus signals, private daemon", true, false);
    processRows(figures, rows);
    printTable(rows);
    std::printf("\nMedian of %zu run(s). Library against its references: the ratio of trials run back to\n"
                "back, median per run, then median of the runs. Against the peers: the ratio of each run's\n"
                "medians, then median of the runs. Switches: voluntary context switches of the process per frame.\n",
                figures.runCount());
    if (!plotDataPath.empty()) writePlotData(figures, plotDataPath);
    return 0;
}

}  // namespace kesu_bench
