// Monitoring as its users see it: a farm tool, Prometheus and a browser
// reading the API of a miner at work; the telemetry and the thermal guard
// under a stand-in for the management library, loaded the miner's own way.
#include <gtest/gtest.h>

#include <curl/curl.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>
#include <regex>
#include <thread>

#include "api/metrics_text.h"
#include "api/summary_json.h"
#include "app/rig_monitor.h"
#include "app/rig_summary.h"
#include "cli/api_options.h"
#include "gpu/gpu_hasher.h"
#include "support/device.h"
#include "support/miner_command.h"
#include "support/process.h"
#include "support/raw_peer.h"
#include "support/scratch.h"
#include "support/scripted_node.h"
#include "worker/worker.h"

using nlohmann::json;

using namespace quorlen::app;
using namespace quorlen::api;
using namespace quorlen::telemetry;
using namespace quorlen::cli;

namespace {

struct Fetched {
    long status = 0;
    std::string body, type, authenticate;
};

Fetched fetch(const std::string& url, const std::string& token = "", const char* method = "GET",
              const std::string& extraHeader = "") {
    Fetched f;
    CURL* c = curl_easy_init();
    curl_slist* headers = nullptr;
    if (!token.empty()) headers = curl_slist_append(headers, ("Authorization: Bearer " + token).c_str());
    if (!extraHeader.empty()) headers = curl_slist_append(headers, extraHeader.c_str());
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &f.body);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, +[](char* p, size_t s, size_t n, void* out) {
        static_cast<std::string*>(out)->append(p, s * n);
        return s * n;
    });
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &f.authenticate);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, +[](char* p, size_t s, size_t n, void* out) {
        const std::string line(p, s * n);
        if (line.rfind("WWW-Authenticate:", 0) == 0) *static_cast<std::string*>(out) = line;
        return s * n;
    });
    if (curl_easy_perform(c) == CURLE_OK) {
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &f.status);
        char* type = nullptr;
        curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type);
        if (type) f.type = type;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(c);
    return f;
}

// Runs `command` (bash) with `input` on its standard input.
ProcessResult pipeThrough(const std::string& command, const std::string& input) {
    ScratchDir dir;
    const std::string file = dir.write("input", input);
    return run_process({"/bin/bash", "-c", command + " < " + file});
}

// The metrics through both real parsers: promtool's lint, and the Python
// client's parser, which lists every family as "name type labels…" lines.
void expectParsableMetrics(const std::string& metrics, const std::vector<std::string>& families) {
    const ProcessResult lint = pipeThrough("promtool check metrics", metrics);
    EXPECT_EQ(lint.exitCode, 0) << lint.out << lint.err;
    const ProcessResult parsed = pipeThrough(
        "/usr/bin/python3 -c 'import sys\n"
        "from prometheus_client.parser import text_string_to_metric_families as f\n"
        "for m in f(sys.stdin.read()):\n"
        "    assert m.documentation, m.name\n"
        "    for s in m.samples: print(m.name, m.type, s.name, sorted(s.labels.items()), s.value)'",
        metrics);
    ASSERT_EQ(parsed.exitCode, 0) << parsed.err;
    for (const std::string& family : families) EXPECT_NE(parsed.out.find(family), std::string::npos) << family;
}

EnvChanges env(std::optional<std::string> nvml = std::nullopt) {
    return miner_env({{"QUORLEN_API_TOKEN", std::nullopt}, {"QUORLEN_NVML_LIBRARY", nvml}});
}

// The API's base URL from the miner's "[api] serving" line.
std::string apiBase(BackgroundProcess& p) {
    if (!p.waitForOutput("[api] serving http://", std::chrono::seconds(60))) return "";
    std::smatch m;
    const std::string err = p.err();
    if (!std::regex_search(err, m, std::regex("\\[api\\] serving (http://127\\.0\\.0\\.1:[0-9]+/)"))) return "";
    return m[1];
}

int connectTo(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// A mining run against the development node, read the way a farm tool,
// Prometheus and a browser read it.
TEST(Api, SummaryMetricsHealthAndPageDuringMining) {
    SKIP_WITHOUT_DEVICE();
    const unsigned short httpPort = free_port(), wsPort = free_port();
    ScratchDir dir;
    BackgroundProcess node({DEVNODE_BINARY, "--http-port", std::to_string(httpPort), "--ws-port",
                            std::to_string(wsPort), "--data", dir.path() + "/chain.dat", "--target",
                            "3" + std::string(63, 'f'), "--block-seconds", "0.001"});
    ASSERT_TRUE(node.waitForOutput("[node] height", std::chrono::seconds(20))) << node.err();
    const std::string http = "http://127.0.0.1:" + std::to_string(httpPort);
    // The stand-in library is there, but the host flavour's device has no
    // PCI bus id: one device, no telemetry, and the guard says so.
    BackgroundProcess p(miner_args({"--http", http, "--ws", "ws://127.0.0.1:" + std::to_string(wsPort), "--api",
                                    "127.0.0.1:0", "--temp-limit", "80"}),
                        env(NVML_STAND_IN));
    const std::string base = apiBase(p);
    ASSERT_FALSE(base.empty()) << p.err();

    EXPECT_TRUE(wait_until([&] { return fetch(base + "health").status == 200; }, 60000)) << fetch(base + "health").body;
    json summary;
    EXPECT_TRUE(wait_until(
        [&] {
            summary = json::parse(fetch(base + "summary").body);
            for (const json& b : summary["blocks"])
                if (b["verdict"] == "accepted" && b["height"].get<std::uint64_t>() > 0) return true;
            return false;
        },
        60000))
        << summary.dump(1);
    EXPECT_EQ(summary["version"], "0.1.0");
    EXPECT_GT(summary["uptime_seconds"].get<double>(), 0);
    EXPECT_EQ(summary["node"]["http"], http);
    EXPECT_EQ(summary["node"]["answering"], true);
    ASSERT_EQ(summary["gpus"].size(), 1u);
    const json& gpu = summary["gpus"][0];
    EXPECT_EQ(gpu["name"], "host CPU");
    EXPECT_EQ(gpu["batch"], 2);
    EXPECT_EQ(gpu["state"], "mining");
    EXPECT_TRUE(gpu["telemetry"].is_null());
    EXPECT_GT(gpu["rates"]["60s"].get<double>(), 0);
    EXPECT_GE(gpu["found"].get<std::uint64_t>(), gpu["accepted"].get<std::uint64_t>());
    EXPECT_GT(gpu["accepted"].get<std::uint64_t>(), 0u);
    for (const char* key : {"hashes", "found", "sent", "failed", "hw_errors", "stale", "accepted", "rejected"})
        EXPECT_TRUE(gpu[key].is_number_unsigned()) << key;
    EXPECT_EQ(summary["totals"]["hashes"], gpu["hashes"]);
    EXPECT_TRUE(summary["blocks"][0]["hash"].is_string());
    EXPECT_EQ(summary["history"]["step_seconds"], 10);

    const Fetched metrics = fetch(base + "metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.type.rfind("text/plain; version=0.0.4", 0), 0u) << metrics.type;
    expectParsableMetrics(metrics.body,
                          {"quorlen_gpu_hashes counter quorlen_gpu_hashes_total [('gpu', '0'), ('name', 'host CPU'), "
                           "('worker', '0')]",
                           "quorlen_gpu_blocks_accepted counter", "quorlen_gpu_stale counter",
                           "quorlen_gpu_hashrate_hashes_per_second gauge", "quorlen_miner_node_up gauge "
                           "quorlen_miner_node_up [] 1.0"});
    EXPECT_EQ(metrics.body.find("temperature"), std::string::npos);  // no telemetry, no such family

    const Fetched page = fetch(base);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.type, "text/html; charset=utf-8");
    EXPECT_NE(page.body.find("<svg id=\"chart\""), std::string::npos);
    EXPECT_EQ(page.body.find("src="), std::string::npos);  // nothing fetched from elsewhere
    EXPECT_EQ(fetch(base + "nothing").status, 404);
    EXPECT_EQ(fetch(base + "summary", "", "POST").status, 405);
    // Without a token, only names of this machine: a page whose own name was
    // rebound to 127.0.0.1 gets nothing.
    const std::string port = base.substr(base.rfind(':') + 1, base.size() - base.rfind(':') - 2);
    for (const std::string& host : std::vector<std::string>{"attacker.example", "attacker.example:" + port, "127.0.0.1.attacker.example",
                                   "localhost.attacker.example:" + port, "127.0.0.1:" + port + "x"})
        EXPECT_EQ(fetch(base + "summary", "", "GET", "Host: " + host).status, 403) << host;
    for (const std::string& host : std::vector<std::string>{"localhost", "LocalHost:" + port, "127.0.0.1", "127.0.0.1:" + port,
                                   "127.0.0.2:" + port, "[::1]:" + port})
        EXPECT_EQ(fetch(base + "summary", "", "GET", "Host: " + host).status, 200) << host;
    EXPECT_NE(p.err().find("[thermal] GPU#0: no temperature reading; --temp-limit cannot act on it"),
              std::string::npos)
        << p.err();

    p.signal(SIGINT);
    const ProcessResult r = p.wait(std::chrono::seconds(30));
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// Who may ask, and how much: a remote bind needs a token, requests need it,
// and clients are bounded in number, header size and time.
TEST(Api, TokenAndBounds) {
    SKIP_WITHOUT_DEVICE();
    const ProcessResult open = run_process(miner_args({"--api", "0.0.0.0:4068"}), env());
    EXPECT_EQ(open.exitCode, 1);
    EXPECT_NE(open.err.find("--api 0.0.0.0:4068: a bind address other than loopback needs a token"),
              std::string::npos)
        << open.err;
    EXPECT_EQ(open.err.find("[tune]"), std::string::npos);
    EXPECT_EQ(run_process(miner_args({"--api", "127.0.0.1"}), env()).exitCode, 1);

    ScratchDir dir;
    const std::string token = "s3cret-token";
    // A management library whose first call never returns.
    auto hung = env(NVML_STAND_IN);
    hung["NVML_STAND_IN_HOLD"] = "1";
    BackgroundProcess p(miner_args({"--api", "127.0.0.1:0", "--api-token-file", dir.write("token", token + "\n"),
                                    "--ws", "", "--http", "http://127.0.0.1:1", "--temp-limit", "80"}),
                        hung);
    const std::string base = apiBase(p);
    ASSERT_FALSE(base.empty()) << p.err();
    const Fetched anonymous = fetch(base + "summary");
    EXPECT_EQ(anonymous.status, 401);
    EXPECT_EQ(anonymous.authenticate.rfind("WWW-Authenticate: Bearer", 0), 0u);
    EXPECT_EQ(fetch(base + "metrics", token + "x").status, 401);
    EXPECT_EQ(fetch(base + "metrics", token.substr(1)).status, 401);
    EXPECT_EQ(fetch(base + "metrics", "", "GET", "Authorization: bearer " + token).status, 200);
    EXPECT_EQ(fetch(base).status, 200);  // the page alone, which holds no figures
    // No node: unhealthy, with the reason.
    const Fetched health = fetch(base + "health", token);
    EXPECT_EQ(health.status, 503);
    EXPECT_NE(health.body.find("the node has not answered yet"), std::string::npos) << health.body;

    EXPECT_EQ(fetch(base + "summary", token, "GET", "X-Filler: " + std::string(9000, 'a')).status, 431);

    const unsigned short port = static_cast<unsigned short>(std::stoi(base.substr(base.rfind(':') + 1)));
    // The address is taken: a second miner says so and stops before mining.
    const ProcessResult taken = run_process(miner_args({"--api", "127.0.0.1:" + std::to_string(port)}), env());
    EXPECT_EQ(taken.exitCode, 5);
    EXPECT_NE(taken.err.find("fatal: --api 127.0.0.1:" + std::to_string(port) + ": cannot listen: "),
              std::string::npos)
        << taken.err;
    std::vector<int> idle;
    for (int i = 0; i < 16; ++i) idle.push_back(connectTo(port));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Full of silent clients: the one silent longest makes room for a request.
    EXPECT_EQ(fetch(base + "summary", token).status, 200);
    char byte;
    EXPECT_EQ(recv(idle[0], &byte, 1, 0), 0);
    // Malformed requests held open on as many connections as the cap: each
    // is answered 400 and frees its slot at once, so scrapes go on.
    for (int i = 0; i < 16; ++i) {
        idle.push_back(connectTo(port));
        write_all(idle.back(), "NOT HTTP AT ALL\r\n\r\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(fetch(base + "metrics", token).status, 200) << i;

    // Ctrl-C ends the miner within 2 s, whatever the API's clients and the
    // management library do.
    for (int i = 0; i < 16; ++i) idle.push_back(connectTo(port));
    const auto stopAt = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    const ProcessResult r = p.wait(std::chrono::seconds(30));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(2));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("[thermal] the GPU management library has not answered in 1 s"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("[stats]"), std::string::npos);  // the final statistics
    for (int fd : idle) close(fd);
    // Clients cannot fill the journal: the oversized header is named, the
    // refusals after it within the minute are not.
    std::size_t lines = 0;
    for (std::size_t at = r.err.find("[api] http: "); at != std::string::npos; at = r.err.find("[api] http: ", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << r.err;
}

// The page as a browser shows it: its script takes the token from the
// address's fragment, reads /summary with it and fills the status line, the
// table and the chart. No node answers, so the page says so.
TEST(Api, PageInABrowser) {
    SKIP_WITHOUT_DEVICE();
    const std::string browser = "/usr/bin/chromium";
    if (access(browser.c_str(), X_OK) != 0) GTEST_SKIP() << "no browser: Debian's chromium is not installed";
    ScratchDir dir;
    const std::string token = "page-token";
    BackgroundProcess p(miner_args({"--api", "127.0.0.1:0", "--api-token-file", dir.write("token", token + "\n"),
                                    "--ws", "", "--http", "http://127.0.0.1:1"}),
                        env());
    const std::string base = apiBase(p);
    ASSERT_FALSE(base.empty()) << p.err();
    ASSERT_TRUE(wait_until(
        [&] {
            // Mining, with a rate over the last minute: the page's status
            // then names the node alone.
            const Fetched summary = fetch(base + "summary", token);
            if (summary.status != 200) return false;
            const json gpus = json::parse(summary.body)["gpus"];
            return gpus.size() == 1 && gpus[0]["rates"]["60s"].get<double>() > 0;
        },
        60000));

    // Headless in a profile of its own, without the sandbox, which refuses to
    // run as root; the virtual time budget lets the script's request and
    // first drawing finish before the page is written out.
    const ProcessResult shown = run_process({browser, "--headless", "--no-sandbox", "--disable-gpu",
                                             "--user-data-dir=" + dir.path() + "/profile",
                                             "--virtual-time-budget=10000", "--dump-dom", base + "#token=" + token},
                                            {}, std::chrono::seconds(120));
    ASSERT_EQ(shown.exitCode, 0) << shown.err;
    // The page's text as drawn, without its own script.
    const std::string& dom = shown.out;
    const std::string drawn = dom.substr(0, dom.find("<script>"));
    EXPECT_NE(drawn.find("<div id=\"status\"><span class=\"bad\">unhealthy: the node has not answered yet</span>"
                         " \u2014 version 0.1.0, up "),
              std::string::npos)
        << dom;
    EXPECT_NE(drawn.find("<td class=\"l\">0 host CPU</td>"), std::string::npos) << dom;
    EXPECT_NE(drawn.find("<td class=\"l\">rig (1 GPU)</td>"), std::string::npos) << dom;
    EXPECT_NE(drawn.find(">-15 min</text>"), std::string::npos) << dom;  // the chart's axes

    p.signal(SIGINT);
    EXPECT_EQ(p.wait(std::chrono::seconds(30)).exitCode, 0);
}

TEST(Api, AddressForms) {
    const auto loopback = [](const std::string& text) {
        const auto a = parse_api_address(text);
        return a ? std::optional<std::pair<std::string, bool>>({a->host + " " + std::to_string(a->port), a->loopback})
                 : std::nullopt;
    };
    using R = std::optional<std::pair<std::string, bool>>;
    EXPECT_EQ(loopback("127.0.0.1:4068"), R({"127.0.0.1 4068", true}));
    EXPECT_EQ(loopback("localhost:0"), R({"127.0.0.1 0", true}));
    EXPECT_EQ(loopback("127.9.9.9:1"), R({"127.9.9.9 1", true}));
    EXPECT_EQ(loopback("[::1]:4068"), R({"::1 4068", true}));
    EXPECT_EQ(loopback("0.0.0.0:4068"), R({"0.0.0.0 4068", false}));
    EXPECT_EQ(loopback("[::]:4068"), R({":: 4068", false}));
    EXPECT_EQ(loopback("192.168.1.20:4068"), R({"192.168.1.20 4068", false}));
    for (const char* bad : {"127.0.0.1", "::1:4068", "127.0.0.1:65536", "127.0.0.1:-1", "127.0.0.1:", "rig01:4068",
                            ":4068", "[::1]4068", "127.0.0.1:40 68"})
        EXPECT_FALSE(parse_api_address(bad)) << bad;
}

TEST(Api, HealthNamesWhatIsWrong) {
    RigSnapshot rig;
    EXPECT_EQ(health_problems(rig),
              (std::vector<std::string>{"no GPU is mining yet", "the node has not answered yet"}));
    rig.starting = false;
    rig.nodeAnsweredAgo = 61;
    rig.gpus.resize(2);
    rig.gpus[0].rates.s60 = 5;
    rig.gpus[0].paused = true;
    rig.gpus[1].rates.s60 = 5;
    rig.gpus[1].lost = true;
    EXPECT_EQ(health_problems(rig),
              (std::vector<std::string>{"no GPU is mining", "the node has not answered for 61 s"}));
    rig.gpus[1].lost = false;
    rig.nodeAnsweredAgo = 59;
    EXPECT_TRUE(health_problems(rig).empty());
    // A stalled GPU is named even while another mines; with every worker
    // unable to ask, the node's silence is not blamed on the node.
    rig.gpus[0].paused = false;
    rig.gpus[1].stalled = true;
    rig.gpus[1].gpu = 1;
    rig.gpus[1].stalledSeconds = 42;
    EXPECT_EQ(health_problems(rig),
              (std::vector<std::string>{"GPU#1 stopped answering: no batch finished for 42 s"}));
    rig.gpus[0].lost = true;
    rig.nodeAnsweredAgo = 64;
    rig.nodeAsked = false;
    EXPECT_EQ(health_problems(rig), (std::vector<std::string>{"no GPU is mining",
                                                              "GPU#1 stopped answering: no batch finished for 42 s"}));
    const auto summary = nlohmann::json::parse(summary_json(rig, 1));
    EXPECT_EQ(summary["gpus"][1]["state"], "stalled");
    EXPECT_EQ(summary["node"]["asked"], false);
    const std::string metrics = metrics_text(rig, 1);
    EXPECT_NE(metrics.find("quorlen_gpu_stalled{gpu=\"1\""), std::string::npos) << metrics;
}

// With a backup node, which node each worker mines against and how often it
// switched; without one, not a word of it.
TEST(Api, ActiveNodeAndSwitchesOnlyWithABackup) {
    RigSnapshot rig;
    rig.gpus.resize(2);
    rig.gpus[1].onBackup = true;
    rig.gpus[1].switches = 3;
    for (const std::string& text : {summary_json(rig, 1), metrics_text(rig, 1)}) {
        EXPECT_EQ(text.find("backup"), std::string::npos) << text;
        EXPECT_EQ(text.find("switches"), std::string::npos) << text;
    }
    rig.backupHttp = "http://b:8000";
    rig.backupWs = "ws://b:6061";
    const json summary = json::parse(summary_json(rig, 1));
    EXPECT_EQ(summary["node"]["backup_http"], "http://b:8000");
    EXPECT_EQ(summary["node"]["backup_ws"], "ws://b:6061");
    EXPECT_EQ(summary["node"]["active"], "mixed");
    EXPECT_EQ(summary["node"]["switches"], 3);
    EXPECT_EQ(summary["totals"]["node_switches"], 3);
    EXPECT_EQ(summary["gpus"][0]["node"], "primary");
    EXPECT_EQ(summary["gpus"][1]["node"], "backup");
    EXPECT_EQ(summary["gpus"][1]["node_switches"], 3);
    const std::string metrics = metrics_text(rig, 1);
    EXPECT_NE(metrics.find("quorlen_gpu_node_backup_active{gpu=\"0\",worker=\"1\",name=\"\"} 1\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("# TYPE quorlen_gpu_node_switches_total counter\n"), std::string::npos);
    EXPECT_NE(metrics.find("quorlen_gpu_node_switches_total{gpu=\"0\",worker=\"1\",name=\"\"} 3\n"),
              std::string::npos);
}

// Every series the shipped dashboard asks for is one the miner exports.
TEST(Api, DashboardUsesOnlyExportedMetrics) {
    RigSnapshot rig;
    rig.nodeAnsweredAgo = 1;
    rig.gpus.resize(1);
    rig.gpus[0].telemetry = GpuReading{70, 200.0, 50, 1800, 7000};
    rig.blocks.push_back({0, 5, "ab", 1000, "accepted", ""});
    const std::string metrics = "\n" + metrics_text(rig, 1);
    std::ifstream file(SOURCE_DIR "/packaging/grafana-dashboard.json");
    const json dashboard = json::parse(file);
    std::set<std::string> used;
    const std::regex name("quorlen_[a-z_]+");
    for (const json& panel : dashboard["panels"])
        for (const json& target : panel["targets"]) {
            const std::string expr = target["expr"];
            for (auto it = std::sregex_iterator(expr.begin(), expr.end(), name); it != std::sregex_iterator(); ++it)
                used.insert(it->str());
        }
    EXPECT_GE(used.size(), 15u);
    for (const std::string& series : used)
        EXPECT_TRUE(metrics.find("\n" + series + "{") != std::string::npos ||
                    metrics.find("\n" + series + " ") != std::string::npos)
            << series;
}

namespace {

using SetCard = void (*)(const char*, int, int, int, int, int);
using Hold = void (*)(int);

// The stand-in library, as the miner finds it, and its script.
struct StandIn {
    void* handle = dlopen(NVML_STAND_IN, RTLD_NOW);
    SetCard set = handle ? reinterpret_cast<SetCard>(dlsym(handle, "nvml_stand_in_set")) : nullptr;
    Hold hold = handle ? reinterpret_cast<Hold>(dlsym(handle, "nvml_stand_in_hold")) : nullptr;
    using Count = int (*)();
    Count initialised = handle ? reinterpret_cast<Count>(dlsym(handle, "nvml_stand_in_initialised")) : nullptr;
    StandIn() { setenv("QUORLEN_NVML_LIBRARY", NVML_STAND_IN, 1); }
    ~StandIn() {
        unsetenv("QUORLEN_NVML_LIBRARY");
        if (handle) dlclose(handle);
    }
};

const char* const kHotBus = "0000:01:00.0";
const char* const kCoolBus = "0000:02:00.0";

}  // namespace

// Readings reach the summary, the metrics and the 60-second lines; a machine
// without the library has none.
TEST(Telemetry, StandInReadingsInSummaryMetricsAndLines) {
    StandIn nvml;
    ASSERT_NE(nvml.set, nullptr) << dlerror();
    nvml.set(kHotBus, 71, 215500, 64, 1890, 7001);
    nvml.set(kCoolBus, 58, 120000, -1, 1500, 5000);  // a passive card: no fan
    GpuTelemetry missing("/nonexistent/libnvidia-ml.so.1");
    EXPECT_FALSE(missing.available());
    EXPECT_NE(missing.problem().find("/nonexistent/libnvidia-ml.so.1"), std::string::npos);
    EXPECT_FALSE(missing.read(kHotBus));
    EXPECT_FALSE(GpuTelemetry(NVML_STAND_IN).read("0000:09:00.0"));  // no such card

    Cli cli;
    cli.api = "127.0.0.1:0";
    std::FILE* out = std::tmpfile();
    RigMonitor monitor(cli, out);
    WorkerCtx a, b;
    a.gpu = 0;
    b.gpu = 1;
    a.hashes = 1000;
    monitor.add(a, "Card \"A\" \\ 1", kHotBus);
    monitor.add(b, "Card B \xff\xe2\x82 end", kCoolBus);  // not UTF-8: a byte, then a torn sequence
    monitor.started();
    RigSummary summary(2, 60);
    summary.sample({counts_of(a), counts_of(b)});
    monitor.tick(&summary);

    const std::string base = "http://127.0.0.1:" + std::to_string(monitor.api_port()) + "/";
    const json s = json::parse(fetch(base + "summary").body);
    EXPECT_EQ(s["gpus"][0]["telemetry"]["temperature_c"], 71);
    EXPECT_DOUBLE_EQ(s["gpus"][0]["telemetry"]["power_w"].get<double>(), 215.5);
    EXPECT_EQ(s["gpus"][0]["telemetry"]["fan_percent"], 64);
    EXPECT_EQ(s["gpus"][0]["telemetry"]["core_clock_mhz"], 1890);
    EXPECT_EQ(s["gpus"][0]["telemetry"]["memory_clock_mhz"], 7001);
    EXPECT_TRUE(s["gpus"][1]["telemetry"]["fan_percent"].is_null());
    EXPECT_DOUBLE_EQ(s["totals"]["power_w"].get<double>(), 335.5);

    const std::string metrics = fetch(base + "metrics").body;
    expectParsableMetrics(metrics, {"quorlen_gpu_temperature_celsius gauge quorlen_gpu_temperature_celsius [('gpu', "
                                    "'0'), ('name', 'Card \"A\" \\\\ 1'), ('worker', '0')] 71.0",
                                    "quorlen_gpu_power_watts gauge", "quorlen_gpu_core_clock_hertz gauge",
                                    "quorlen_gpu_hashes_per_joule gauge"});
    EXPECT_NE(metrics.find("name=\"Card \\\"A\\\" \\\\ 1\""), std::string::npos);
    EXPECT_EQ(metrics.find("quorlen_gpu_fan_speed_ratio{gpu=\"1\""), std::string::npos);
    EXPECT_NE(metrics.find("name=\"Card B \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD end\""), std::string::npos);
    EXPECT_NE(metrics.find("quorlen_gpu_telemetry_stale{gpu=\"1\",worker=\"1\",name=\"Card B"), std::string::npos);

    const std::string lines = monitor.telemetry_lines(summary);
    EXPECT_NE(lines.find("[stats] GPU#0 telemetry: 71 C 215.5 W "), std::string::npos) << lines;
    EXPECT_NE(lines.find("fan 64 % core 1890 MHz memory 7001 MHz\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("[stats] GPU#1 telemetry: 58 C 120.0 W 0.000 H/s/W core 1500 MHz memory 5000 MHz\n"),
              std::string::npos)
        << lines;
    std::fclose(out);
}

// A hot GPU's worker rests between batches and mines again 5 degrees lower;
// the other GPU is never touched.
TEST(Telemetry, GuardPausesOnlyTheHotWorkerAndResumesIt) {
    SKIP_WITHOUT_DEVICE();
    StandIn nvml;
    ASSERT_NE(nvml.set, nullptr) << dlerror();
    nvml.set(kHotBus, 85, 200000, 80, 1800, 7000);
    nvml.set(kCoolBus, 60, 150000, 40, 1800, 7000);

    ScriptedNode node;
    node.set("/diff", 200, "{\"diff\":\"0\"}");  // nothing ever hits
    WorkerCtx hot, cool;
    hot.gpu = 0;
    cool.gpu = 1;
    testing::internal::CaptureStderr();
    hot.api = std::make_unique<NodeApi>(node.httpUrl(), "");
    argon2::cuda::GlobalContext global;
    GpuHasher hasher(&first_device(global), false, true);
    hasher.init(global);
    hot.hasher = &hasher;
    hot.batch = 2;
    std::atomic<bool> stop{false};
    hot.stop = &stop;

    Cli cli;
    cli.tempLimit = 80;
    std::FILE* out = std::tmpfile();
    RigMonitor monitor(cli, out);
    monitor.add(hot, "hot", kHotBus);
    monitor.add(cool, "cool", kCoolBus);
    std::thread worker(worker_thread, &hot);
    EXPECT_TRUE(wait_until([&] { return hot.hashes.load() > 0; }, 30000));

    monitor.tick(nullptr);
    EXPECT_TRUE(hot.thermalPause.load());
    EXPECT_FALSE(cool.thermalPause.load());
    // The batches in flight finish; then nothing more is hashed.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::uint64_t restingAt = hot.hashes.load();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(hot.hashes.load(), restingAt);

    nvml.set(kHotBus, 76, 90000, 80, 1800, 7000);  // cooler, not cool enough
    monitor.tick(nullptr);
    EXPECT_TRUE(hot.thermalPause.load());
    nvml.set(kHotBus, 75, 90000, 80, 1800, 7000);
    monitor.tick(nullptr);
    EXPECT_FALSE(hot.thermalPause.load());
    EXPECT_TRUE(wait_until([&] { return hot.hashes.load() > restingAt; }, 30000));
    stop = true;
    worker.join();
    testing::internal::GetCapturedStderr();

    const std::string lines = read_back(out);
    EXPECT_EQ(lines, "[thermal] GPU#0 at 85 C (limit 80 C): paused until it cools to 75 C\n"
                     "[thermal] GPU#0 at 75 C: resumed\n");
    std::fclose(out);
}

// A library whose calls hang: the ticks go on at their pace, the readings
// turn stale everywhere they are shown, the guard says what it can no longer
// do and again when the readings return, and the monitor ends at once.
TEST(Telemetry, HungLibraryLeavesReadingsStaleAndTheGuardSaysSo) {
    StandIn nvml;
    ASSERT_NE(nvml.hold, nullptr) << dlerror();
    nvml.set(kHotBus, 85, 200000, 80, 1800, 7000);
    nvml.set(kCoolBus, 60, 150000, 40, 1800, 7000);
    const int users = nvml.initialised();
    Cli cli;
    cli.api = "127.0.0.1:0";
    cli.tempLimit = 80;
    std::FILE* out = std::tmpfile();
    auto monitor = std::make_unique<RigMonitor>(cli, out);
    WorkerCtx hot, cool;
    hot.gpu = 0;
    cool.gpu = 1;
    monitor->add(hot, "hot", kHotBus);
    monitor->add(cool, "cool", kCoolBus);
    monitor->tick(nullptr);
    EXPECT_TRUE(hot.thermalPause.load());
    const std::string base = "http://127.0.0.1:" + std::to_string(monitor->api_port()) + "/";

    using Clock = std::chrono::steady_clock;
    const auto tickTime = [&] {
        const auto start = Clock::now();
        monitor->tick(nullptr);
        return Clock::now() - start;
    };
    nvml.hold(1);
    json s;
    EXPECT_TRUE(wait_until(
        [&] {
            EXPECT_LT(tickTime(), std::chrono::milliseconds(900));
            s = json::parse(fetch(base + "summary").body);
            return s["gpus"][1]["telemetry_stale"] == true;
        },
        10000));
    EXPECT_EQ(s["gpus"][0]["telemetry_stale"], true);
    EXPECT_EQ(s["gpus"][0]["telemetry"]["temperature_c"], 85);  // the last known, marked stale
    const Fetched health = fetch(base + "health");
    EXPECT_NE(health.body.find("GPU#0: telemetry is stale"), std::string::npos) << health.body;
    EXPECT_NE(health.body.find("GPU#1: no temperature reading; it mines without the thermal guard"),
              std::string::npos)
        << health.body;
    const std::string metrics = fetch(base + "metrics").body;
    EXPECT_NE(metrics.find("quorlen_gpu_telemetry_stale{gpu=\"0\",worker=\"0\",name=\"hot\"} 1\n"), std::string::npos)
        << metrics;
    EXPECT_EQ(metrics.find("quorlen_gpu_temperature_celsius"), std::string::npos);
    EXPECT_TRUE(hot.thermalPause.load());  // nothing says it has cooled

    nvml.set(kHotBus, 70, 200000, 80, 1800, 7000);
    nvml.hold(0);
    EXPECT_TRUE(wait_until(
        [&] {
            monitor->tick(nullptr);
            s = json::parse(fetch(base + "summary").body);
            return !hot.thermalPause.load() && s["gpus"][1]["telemetry_stale"] == false;
        },
        10000));
    EXPECT_EQ(s["gpus"][0]["telemetry_stale"], false);

    nvml.hold(1);
    tickTime();
    const auto ending = Clock::now();
    monitor.reset();
    EXPECT_LT(Clock::now() - ending, std::chrono::seconds(1));
    nvml.hold(0);
    // The reader left behind finishes its call and shuts the library down.
    EXPECT_TRUE(wait_until([&] { return nvml.initialised() == users; }, 10000));

    std::string lines = read_back(out);
    lines.erase(0, lines.find("[thermal]"));  // after the "[api] serving" line
    const std::string lost = ": temperature reading lost (the management library has not answered); ";
    EXPECT_EQ(lines, "[thermal] GPU#0 at 85 C (limit 80 C): paused until it cools to 75 C\n"
                     "[thermal] GPU#0" + lost + "it stays paused until a reading shows 75 C or less\n"
                     "[thermal] GPU#1" + lost + "it mines unguarded until the reading returns\n"
                     "[thermal] GPU#0: temperature reading back at 70 C; guarded again\n"
                     "[thermal] GPU#0 at 70 C: resumed\n"
                     "[thermal] GPU#1: temperature reading back at 60 C; guarded again\n");
    std::fclose(out);
}

// One of two workers' device stops answering (the test-only hang in the host
// flavour's device waits; both workers share the device): the watchdog names
// it once, the API at once, the other worker mines on, and Ctrl-C ends the
// miner within 2 s with its final statistics, the stuck thread left behind.
TEST(Watchdog, OneOfTwoStallsTheOtherMinesOnAndCtrlCStillStops) {
    SKIP_WITHOUT_DEVICE();
    auto e = env();
    e["QUORLEN_TEST_HANG"] = "3:one";
    e["QUORLEN_WATCHDOG_TEST_MS"] = "1000";
    BackgroundProcess p(
        miner_args({"--devices", "0,0", "--ws", "", "--http", "http://127.0.0.1:1", "--api", "127.0.0.1:0"}), e);
    const std::string base = apiBase(p);
    ASSERT_FALSE(base.empty()) << p.err();
    ASSERT_TRUE(p.waitForOutput("[gpu] GPU#0 stopped answering: no batch finished for ", std::chrono::seconds(60)))
        << p.err();

    const Fetched health = fetch(base + "health");
    EXPECT_EQ(health.status, 503);
    EXPECT_NE(health.body.find("GPU#0 stopped answering: no batch finished for "), std::string::npos) << health.body;
    EXPECT_NE(fetch(base + "metrics").body.find("quorlen_gpu_stalled{gpu=\"0\""), std::string::npos);
    const auto hashes = [&] { return json::parse(fetch(base + "summary").body)["totals"]["hashes"].get<std::uint64_t>(); };
    const json summary = json::parse(fetch(base + "summary").body);
    std::set<std::string> states;
    for (const json& g : summary["gpus"]) states.insert(g["state"].get<std::string>());
    EXPECT_EQ(states, (std::set<std::string>{"stalled", "mining"})) << summary.dump();
    const std::uint64_t before = hashes();
    EXPECT_TRUE(wait_until([&] { return hashes() > before; }, 20000));  // the other one mines on

    const auto stopAt = std::chrono::steady_clock::now();
    p.signal(SIGINT);
    const ProcessResult r = p.wait(std::chrono::seconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(2000));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\nStopping...\n"), std::string::npos);
    EXPECT_NE(r.err.find("[stats] rig (2 GPU)"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("stopped answering"), r.err.rfind("stopped answering")) << "said once";
}
