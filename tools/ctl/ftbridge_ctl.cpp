// ftbridge-ctl: command-line client for ftbridge's XML-RPC control service.
//
// Exit status: 0 success, 1 the daemon answered with a fault or refused the request,
// 2 usage error, 3 the daemon cannot be reached (or went away during watch), 4 the daemon
// accepted the call but gave no answer within the timeout, 5 (running) the stream is not running.
//
// Errors are one line in this program's own words, the cause last, classified by what the
// client itself saw (its own connection attempt and errno, or the daemon's fault); the
// transport library's text is shown only with --verbose.

#include <getopt.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>
#include <xmlrpc-c/client.hpp>
#include <xmlrpc-c/client_transport.hpp>
#include <xmlrpc-c/girerr.hpp>

#include "ctl/json_text.h"
#include "sensor/reconfigure_command.h"

namespace {
enum Exit { ok = 0, refused = 1, usage = 2, unreachable = 3, busy = 4, not_running = 5 };

const char* const usage_text =
    "usage: ftbridge-ctl [OPTIONS] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  status                        title, running state and sample frequency in one line\n"
    "                                (\"not running\", without a frequency, when it does not)\n"
    "  title                         show the title\n"
    "  set-title TEXT                set the title\n"
    "  set-bias FX FY FZ TX TY TZ    subtract these values from every sample\n"
    "  set-output FX FY FZ TX TY TZ  make the output read these values from the next sample\n"
    "  filter on TYPE                switch the low-pass filter on; TYPE 1..4 = 50, 40, 25,\n"
    "                                12.5 Hz (another TYPE is stored, the cut-off kept: status 1)\n"
    "  filter off [TYPE]             switch it off; without TYPE the type and cut-off stay\n"
    "  configure RATE                reconfigure the sensor for RATE samples/s (takes ~2 s);\n"
    "                                shows the command number the sensor was sent\n"
    "  freq                          show the measured sample frequency in Hz\n"
    "  running                       print true and exit 0 while the stream runs, else print\n"
    "                                false and exit 5\n"
    "  stats                         the stream's counters since the daemon started\n"
    "  wrench                        the six values of the last package sent to the robot\n"
    "  settings                      bias, desired output, filter, port and recipe in use\n"
    "  watch [--interval S] [--csv]  live view every S seconds (default 1) until Ctrl-C;\n"
    "                                --csv: a header line, then one row per interval\n"
    "\n"
    "options:\n"
    "  --host HOST    the daemon's host name or address (default 127.0.0.1; IPv6 as ::1)\n"
    "  --port PORT    its control port (default 20202)\n"
    "  --timeout S    seconds to wait for each answer (default 10)\n"
    "  --json         status, running, stats, settings, wrench: one JSON object on stdout\n"
    "  -v, --verbose  add the transport library's own account to an error\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "exit status:\n"
    "  0  done (watch: ended with Ctrl-C)\n"
    "  1  the daemon answered with a fault or refused the request\n"
    "  2  usage error\n"
    "  3  the daemon cannot be reached, or went away during watch\n"
    "  4  the daemon accepted the call but did not answer within the timeout\n"
    "  5  running: the stream is not running\n";

// Set by SIGINT during watch; the client library also polls it to abandon a call under way.
int interrupted = 0;
void on_interrupt(int) {
    interrupted = 1;
}

[[noreturn]] void usage_error(const std::string& why) {
    fprintf(stderr, "ftbridge-ctl: %s (see ftbridge-ctl --help)\n", why.c_str());
    exit(usage);
}

bool parse_double(const char* text, double* out) {
    char* end;
    errno = 0;
    *out = strtod(text, &end);
    return *text && !*end && errno == 0 && std::isfinite(*out);
}

bool parse_int(const char* text, long min, long max, long* out) {
    char* end;
    errno = 0;
    *out = strtol(text, &end, 10);
    return *text && !*end && errno == 0 && *out >= min && *out <= max;
}

// An IPv6 literal goes into a URL in brackets, its zone's '%' escaped.
std::string url_host(const std::string& host) {
    if (host.find(':') == std::string::npos || host.front() == '[')
        return host;
    std::string out = "[";
    for (char c : host) out += c == '%' ? std::string("%25") : std::string(1, c);
    return out + "]";
}

// host:port as an error line shows it; an IPv6 literal in brackets.
std::string host_port(const std::string& host, long port) {
    bool v6 = host.find(':') != std::string::npos && host.front() != '[';
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Tries a TCP connection to host:port for up to timeout_ms: 0 when one was taken, else the
// errno of the last address tried (ETIMEDOUT when none answered in time), or -1 with
// *gai_error set when the name does not resolve. Tells a daemon that is busy from an address
// where nothing answers, and says why, in the client's own terms.
int connect_error(const std::string& host, long port, int timeout_ms, int* gai_error) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list;
    std::string name = host.size() > 2 && host.front() == '[' && host.back() == ']'
                           ? host.substr(1, host.size() - 2)
                           : host;
    *gai_error = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (*gai_error != 0)
        return -1;
    int result = EADDRNOTAVAIL;
    for (addrinfo* ai = list; ai && result != 0; ai = ai->ai_next) {
        int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            result = errno;
            continue;
        }
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            result = 0;
        } else if (errno != EINPROGRESS) {
            result = errno;
        } else {
            pollfd p = {fd, POLLOUT, 0};
            int error = 0;
            socklen_t len = sizeof error;
            if (poll(&p, 1, timeout_ms) != 1)
                result = ETIMEDOUT;
            else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                result = errno;
            else
                result = error;
        }
        close(fd);
    }
    freeaddrinfo(list);
    return result;
}

// A library's message as the end of our own line: "Connection refused" -> "connection refused".
std::string cause_text(const char* text) {
    std::string out = text;
    if (out.size() > 1 && isupper((unsigned char)out[0]) && islower((unsigned char)out[1]))
        out[0] = char(tolower((unsigned char)out[0]));
    return out;
}

// What the method and the daemon were when a reply turned out not to be what ftbridge sends.
std::string reply_context;

class Client {
  public:
    Client(const std::string& host, long port, double timeout_s, bool verbose)
        : host_(host),
          port_(port),
          where_(host_port(host, port)),
          url_("http://" + url_host(host) + ":" + std::to_string(port) + "/RPC2"),
          timeout_s_(timeout_s),
          timeout_ms_(unsigned(std::ceil(timeout_s * 1000))),
          verbose_(verbose),
          // libcurl's own limit only as a backstop, later than the deadline kept here.
          transport_(xmlrpc_c::clientXmlTransport_curl::constrOpt().timeout(timeout_ms_ + 2000)),
          client_(&transport_) {}

    void set_interrupt(int* flag) { client_.setInterrupt(flag); }

    // Calls method. A fault ends the process with status 1, no connection with 3, a
    // connection without an answer in time with 4. Returns false only when interrupted.
    bool try_call(const char* method, const xmlrpc_c::paramList& params, xmlrpc_c::value* out) {
        reply_context = std::string(method) + " at " + where_;
        xmlrpc_c::rpcPtr rpc(method, params);
        xmlrpc_c::carriageParm_curl0 carriage(url_);
        bool finished = false;
        std::string detail;  // the library's account, for --verbose only
        try {
            // Started and waited for with our own deadline: the library checks the transfer's
            // time-out only every few seconds, far later than a short --timeout.
            rpc->start(&client_, &carriage);
            client_.finishAsync(xmlrpc_c::timeout(timeout_ms_));
            if (interrupted)
                return false;
            finished = rpc->isFinished();
            if (finished && rpc->isSuccessful()) {
                answered_ = true;
                *out = rpc->getResult();
                return true;
            }
            if (finished) {
                xmlrpc_c::fault fault = rpc->getFault();  // throws when the transport failed
                fprintf(stderr, "ftbridge-ctl: %s refused: %s (fault %d)\n", method,
                        fault.getDescription().c_str(), int(fault.getCode()));
                exit(refused);
            }
        } catch (const std::exception& e) {
            if (interrupted)
                return false;
            detail = e.what();
        }
        // No answer: our own connection attempt says why.
        int gai_error;
        int error = connect_error(host_, port_, int(std::min(timeout_ms_, 1000u)), &gai_error);
        if (error == 0 && !finished) {
            fprintf(stderr, "ftbridge-ctl: daemon busy: no answer within %g s (%s at %s)\n",
                    timeout_s_, method, where_.c_str());
            exit(busy);
        }
        std::string cause = error == 0    ? "connection taken, but no valid XML-RPC answer"
                            : error == -1 ? cause_text(gai_strerror(gai_error))
                                          : cause_text(strerror(error));
        if (answered_)
            fprintf(stderr, "ftbridge-ctl: %s went away: %s\n", where_.c_str(), cause.c_str());
        else
            fprintf(stderr, "ftbridge-ctl: cannot reach %s: %s\n", where_.c_str(), cause.c_str());
        if (verbose_ && !detail.empty())
            fprintf(stderr, "ftbridge-ctl: the transport library said: %s\n", detail.c_str());
        exit(unreachable);
    }

    xmlrpc_c::value call(const char* method, const xmlrpc_c::paramList& params) {
        xmlrpc_c::value result;
        try_call(method, params, &result);
        return result;
    }

  private:
    std::string host_;
    long port_;
    std::string where_;
    std::string url_;
    double timeout_s_;
    unsigned timeout_ms_;
    bool verbose_;
    bool answered_ = false;  // a later failure is the daemon going away
    xmlrpc_c::clientXmlTransport_curl transport_;
    xmlrpc_c::client_xml client_;
};

xmlrpc_c::paramList wrench_params(const std::vector<std::string>& args) {
    if (args.size() != 6)
        usage_error("expected six numbers: FX FY FZ TX TY TZ");
    xmlrpc_c::paramList params;
    for (const std::string& a : args) {
        double v;
        if (!parse_double(a.c_str(), &v))
            usage_error("not a finite number: " + a);
        params.add(xmlrpc_c::value_double(v));
    }
    return params;
}

int int_result(const xmlrpc_c::value& v) {
    return xmlrpc_c::value_int(v).cvalue();
}
std::string string_result(const xmlrpc_c::value& v) {
    return xmlrpc_c::value_string(v).cvalue();
}
bool bool_result(const xmlrpc_c::value& v) {
    return xmlrpc_c::value_boolean(v).cvalue();
}
double double_result(const xmlrpc_c::value& v) {
    return xmlrpc_c::value_double(v).cvalue();
}

// A struct reply as a map; a missing member is an unexpected reply like a wrong type.
class Members {
  public:
    explicit Members(const xmlrpc_c::value& v) : m_(xmlrpc_c::value_struct(v).cvalue()) {}
    const xmlrpc_c::value& operator[](const char* name) const {
        auto it = m_.find(name);
        if (it == m_.end())
            throw girerr::error(std::string("no member ") + name);
        return it->second;
    }
    long long i8(const char* name) const { return xmlrpc_c::value_i8((*this)[name]).cvalue(); }
    double d(const char* name) const { return double_result((*this)[name]); }
    bool b(const char* name) const { return bool_result((*this)[name]); }

  private:
    std::map<std::string, xmlrpc_c::value> m_;
};

std::vector<double> six_result(const xmlrpc_c::value& v) {
    std::vector<double> out;
    for (const xmlrpc_c::value& item : xmlrpc_c::value_array(v).vectorValueValue())
        out.push_back(double_result(item));
    if (out.size() != 6)
        throw girerr::error("not six values");
    return out;
}

std::string six_text(const std::vector<double>& values, const char* format, char separator = ' ') {
    std::string out;
    char buf[64];
    for (double v : values) {
        snprintf(buf, sizeof buf, format, v);
        if (!out.empty())
            out += separator;
        out += buf;
    }
    return out;
}

// Any reply of the control service as JSON, struct members under their own names.
std::string json_value(const xmlrpc_c::value& v) {
    switch (v.type()) {
        case xmlrpc_c::value::TYPE_INT:
            return std::to_string(xmlrpc_c::value_int(v).cvalue());
        case xmlrpc_c::value::TYPE_I8:
            return std::to_string(xmlrpc_c::value_i8(v).cvalue());
        case xmlrpc_c::value::TYPE_BOOLEAN:
            return xmlrpc_c::value_boolean(v).cvalue() ? "true" : "false";
        case xmlrpc_c::value::TYPE_DOUBLE:
            return json_number(xmlrpc_c::value_double(v).cvalue());
        case xmlrpc_c::value::TYPE_STRING:
            return json_string(xmlrpc_c::value_string(v).cvalue());
        case xmlrpc_c::value::TYPE_ARRAY: {
            std::string out = "[";
            for (const xmlrpc_c::value& item : xmlrpc_c::value_array(v).vectorValueValue())
                out += (out.size() > 1 ? ", " : "") + json_value(item);
            return out + "]";
        }
        case xmlrpc_c::value::TYPE_STRUCT: {
            std::string out = "{";
            for (const auto& member : xmlrpc_c::value_struct(v).cvalue())
                out += (out.size() > 1 ? ", " : "") + json_string(member.first) + ": " +
                       json_value(member.second);
            return out + "}";
        }
        default:
            throw girerr::error("a value of a type ftbridge does not send");
    }
}

// In the order of get_statistics' description; watch's rates use packages and crc_errors.
const char* const counter_names[] = {"frames",        "packages",         "crc_errors",
                                     "lost_sync",     "synchronisations", "non_finite",
                                     "read_failures", "reconfigurations", "skipped_packages",
                                     "lines_dropped", "lines_left_out"};
constexpr int counter_count = sizeof counter_names / sizeof counter_names[0];
constexpr int skipped_counter = 8;

void expect_args(const std::vector<std::string>& args, size_t n, const char* form) {
    if (args.size() != n)
        usage_error(std::string("usage: ftbridge-ctl ") + form);
}

void print_stats(const Members& s) {
    for (const char* name : counter_names) printf("%-22s %lld\n", name, s.i8(name));
    printf("%-22s %.3f\n", "uptime_s", s.d("uptime_s"));
    double since = s.d("seconds_since_package");
    if (since < 0)
        printf("%-22s -1 (no package sent yet)\n", "seconds_since_package");
    else
        printf("%-22s %.3f\n", "seconds_since_package", since);
}

void print_settings(const Members& s) {
    auto yes_no = [](bool b) { return b ? "true" : "false"; };
    printf("%-16s %s\n", "bias_active", yes_no(s.b("bias_active")));
    printf("%-16s %s\n", "output_active", yes_no(s.b("output_active")));
    printf("%-16s %s\n", "filter_enabled", yes_no(s.b("filter_enabled")));
    printf("%-16s %d\n", "filter_type", int_result(s["filter_type"]));
    printf("%-16s %g\n", "cutoff_hz", s.d("cutoff_hz"));
    printf("%-16s %s\n", "configuring", yes_no(s.b("configuring")));
    printf("%-16s %s\n", "bias", six_text(six_result(s["bias"]), "%.9g").c_str());
    printf("%-16s %s\n", "desired_output",
           six_text(six_result(s["desired_output"]), "%.9g").c_str());
    std::string port = string_result(s["port"]);
    printf("%-16s %s\n", "port", port.empty() ? "(not open yet)" : port.c_str());
    printf("%-16s %d\n", "recipe_id", int_result(s["recipe_id"]));
}

int filter(Client& client, const std::vector<std::string>& args) {
    const xmlrpc_c::paramList none;
    if (args.empty() || args.size() > 2 || (args[0] == "on" && args.size() != 2))
        usage_error("usage: ftbridge-ctl filter on TYPE | filter off [TYPE]");
    if (args[0] != "on" && args[0] != "off")
        usage_error("filter takes on or off");
    long type;
    bool given = args.size() == 2;
    if (given) {
        if (!parse_int(args[1].c_str(), INT32_MIN, INT32_MAX, &type))
            usage_error("not a filter type: " + args[1]);
    } else {
        // The method always takes a type; sending the stored one back keeps it and the
        // cut-off (another client's change in between would be undone: a small window).
        type = int_result(Members(client.call("get_settings", none))["filter_type"]);
    }
    xmlrpc_c::paramList params;
    params.add(xmlrpc_c::value_boolean(args[0] == "on"));
    params.add(xmlrpc_c::value_int(int(type)));
    if (int_result(client.call("enable_filter", params)) != 0 && given) {
        double cutoff = Members(client.call("get_settings", none)).d("cutoff_hz");
        fprintf(stderr,
                "ftbridge-ctl: filter type %ld is not one of 1..4: filter switched %s and type "
                "%ld stored, cut-off kept at %g Hz\n",
                type, args[0].c_str(), type, cutoff);
        return refused;
    }
    return ok;
}

int configure(Client& client, const std::vector<std::string>& args) {
    expect_args(args, 1, "configure RATE");
    double rate;
    if (!parse_double(args[0].c_str(), &rate))
        usage_error("not a finite rate: " + args[0]);
    // The number follows from the filter flag at the moment the sequence starts; read just
    // before the call, it is what the daemon uses unless another client switches the filter.
    bool filtered = Members(client.call("get_settings", xmlrpc_c::paramList())).b("filter_enabled");
    xmlrpc_c::paramList params;
    params.add(xmlrpc_c::value_double(rate));
    if (int_result(client.call("configure_sensor", params)) != 0) {
        fprintf(stderr, "ftbridge-ctl: the sensor port is not open yet; try again later\n");
        return refused;
    }
    int number = reconfigure_number(filtered, rate);
    char line[48];
    format_reconfigure_line(line, sizeof line, number);
    line[strcspn(line, "\n")] = 0;
    if (filtered)
        printf(
            "sent the sensor %s: command number %d, its fixed rate for the filtered output; "
            "with the filter on, the rate %g does not change it (switch the filter off to set "
            "a rate)\n",
            line, number, rate);
    else
        printf("sent the sensor %s: command number %d for %g samples/s\n", line, number, rate);
    return ok;
}

// One reading of everything watch shows.
struct Reading {
    bool running;
    double freq, uptime_s;
    long long counters[counter_count];
    std::vector<double> wrench;
};

bool read_all(Client& client, Reading* r) {
    const xmlrpc_c::paramList none;
    xmlrpc_c::value running, freq, stats, wrench;
    if (!client.try_call("is_running", none, &running) ||
        !client.try_call("get_sample_freq", none, &freq) ||
        !client.try_call("get_statistics", none, &stats) ||
        !client.try_call("get_wrench", none, &wrench))
        return false;
    r->running = bool_result(running);
    r->freq = double_result(freq);
    Members s(stats);
    for (int k = 0; k < counter_count; ++k) r->counters[k] = s.i8(counter_names[k]);
    r->uptime_s = s.d("uptime_s");
    r->wrench = six_result(wrench);
    return true;
}

std::string rate_text(const Reading& now, const Reading* before, int counter) {
    double dt = before ? now.uptime_s - before->uptime_s : 0;
    if (!(dt > 0))
        return "-";
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f",
             double(now.counters[counter] - before->counters[counter]) / dt);
    return buf;
}

// Sleeps until the monotonic deadline; false once Ctrl-C was pressed.
bool sleep_until(const timespec& deadline) {
    while (!interrupted) {
        int rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (rc == 0)
            return !interrupted;
        if (rc != EINTR)
            return !interrupted;
    }
    return false;
}

int watch(Client& client, const std::vector<std::string>& args) {
    double interval = 1.0;
    bool csv = false;
    std::vector<char*> argv;
    std::string name = "watch";
    argv.push_back(&name[0]);
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    static const option options[] = {{"interval", required_argument, nullptr, 'i'},
                                     {"csv", no_argument, nullptr, 'c'},
                                     {nullptr, 0, nullptr, 0}};
    optind = 0;  // a fresh scan of this argument vector
    int c;
    while ((c = getopt_long(int(argv.size() - 1), argv.data(), "+:", options, nullptr)) != -1) {
        if (c == 'i') {
            if (!parse_double(optarg, &interval) || interval < 0.05 || interval > 3600)
                usage_error(std::string("not an interval from 0.05 to 3600 s: ") + optarg);
        } else if (c == 'c') {
            csv = true;
        } else if (c == ':') {
            usage_error(std::string(argv[optind - 1]) + " needs a value");
        } else {
            usage_error(std::string("unknown watch option: ") + argv[optind - 1]);
        }
    }
    if (optind != int(argv.size() - 1))
        usage_error("usage: ftbridge-ctl watch [--interval S] [--csv]");

    struct sigaction sa = {};
    sa.sa_handler = on_interrupt;  // no SA_RESTART: the sleep must end at once
    sigaction(SIGINT, &sa, nullptr);
    client.set_interrupt(&interrupted);
    const bool terminal = !csv && isatty(STDOUT_FILENO);
    if (csv) {
        printf("time_s,sample_freq_hz");
        for (const char* name : counter_names) printf(",%s", name);
        printf(",fx,fy,fz,tx,ty,tz\n");
    }

    timespec start, next;
    clock_gettime(CLOCK_MONOTONIC, &start);
    next = start;
    Reading before{}, now{};
    bool have_before = false;
    while (read_all(client, &now)) {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        double elapsed = double(t.tv_sec - start.tv_sec) + double(t.tv_nsec - start.tv_nsec) / 1e9;
        if (csv) {
            printf("%.3f,%.3f", elapsed, now.freq);
            for (long long v : now.counters) printf(",%lld", v);
            printf(",%s\n", six_text(now.wrench, "%.9g", ',').c_str());
        } else {
            const Reading* b = have_before ? &before : nullptr;
            std::string line = std::string("running ") + (now.running ? "yes" : "no ") + "  ";
            char buf[64];
            snprintf(buf, sizeof buf, "%.1f Hz  ", now.freq);
            line += buf;
            line += rate_text(now, b, 1) + " packages/s  " + rate_text(now, b, 2) +
                    " CRC errors/s  " + rate_text(now, b, skipped_counter) + " skipped/s  " +
                    six_text(now.wrench, "%.3f");
            if (terminal) {
                // One line refreshed in place: never wider than the terminal, or it wraps.
                winsize ws;
                if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 &&
                    line.size() >= ws.ws_col)
                    line.resize(ws.ws_col - 1);
                printf("\r%s\033[K", line.c_str());
            } else {
                printf("%s\n", line.c_str());
            }
        }
        fflush(stdout);
        before = now;
        have_before = true;
        long ns = next.tv_nsec + long(std::fmod(interval, 1.0) * 1e9);
        next.tv_sec += time_t(interval) + ns / 1000000000;
        next.tv_nsec = ns % 1000000000;
        if (!sleep_until(next))
            break;
    }
    if (terminal)
        printf("\n");
    return ok;  // read_all fails only when interrupted; every other end exits on its own
}

int run(Client& client, const std::string& command, const std::vector<std::string>& args,
        bool json) {
    const xmlrpc_c::paramList none;
    if (json && command != "status" && command != "running" && command != "stats" &&
        command != "settings" && command != "wrench")
        usage_error("--json goes with status, running, stats, settings or wrench");
    if (command == "status") {
        expect_args(args, 0, "status");
        std::string title = string_result(client.call("get_title", none));
        bool running = bool_result(client.call("is_running", none));
        // The frequency measured last is stale once nothing runs: not shown then.
        double freq = running ? double_result(client.call("get_sample_freq", none)) : 0;
        if (json)
            printf("{\"title\": %s, \"running\": %s, \"sample_freq_hz\": %s}\n",
                   json_string(title).c_str(), running ? "true" : "false",
                   running ? json_number(freq).c_str() : "null");
        else if (running)
            printf("title: %s; running: yes; sample frequency: %.1f Hz\n", title.c_str(), freq);
        else
            printf("title: %s; not running\n", title.c_str());
    } else if (command == "title") {
        expect_args(args, 0, "title");
        printf("%s\n", string_result(client.call("get_title", none)).c_str());
    } else if (command == "set-title") {
        expect_args(args, 1, "set-title TEXT");
        xmlrpc_c::paramList params;
        params.add(xmlrpc_c::value_string(args[0]));
        printf("%s\n", string_result(client.call("set_title", params)).c_str());
    } else if (command == "set-bias" || command == "set-output") {
        const char* method = command == "set-bias" ? "set_bias" : "set_output";
        int result = int_result(client.call(method, wrench_params(args)));
        if (result != 0) {
            fprintf(stderr, "ftbridge-ctl: %s returned %d\n", method, result);
            return refused;
        }
    } else if (command == "filter") {
        return filter(client, args);
    } else if (command == "configure") {
        return configure(client, args);
    } else if (command == "freq") {
        expect_args(args, 0, "freq");
        printf("%.3f\n", double_result(client.call("get_sample_freq", none)));
    } else if (command == "running") {
        expect_args(args, 0, "running");
        bool running = bool_result(client.call("is_running", none));
        printf(json ? "{\"running\": %s}\n" : "%s\n", running ? "true" : "false");
        return running ? ok : not_running;
    } else if (command == "stats") {
        expect_args(args, 0, "stats");
        xmlrpc_c::value stats = client.call("get_statistics", none);
        if (json)
            printf("%s\n", json_value(xmlrpc_c::value_struct(stats)).c_str());
        else
            print_stats(Members(stats));
    } else if (command == "wrench") {
        expect_args(args, 0, "wrench");
        std::vector<double> wrench = six_result(client.call("get_wrench", none));
        if (json) {
            std::string values;
            for (double v : wrench) values += (values.empty() ? "" : ", ") + json_number(v);
            printf("{\"wrench\": [%s]}\n", values.c_str());
        } else {
            printf("%s\n", six_text(wrench, "%.9g").c_str());
        }
    } else if (command == "settings") {
        expect_args(args, 0, "settings");
        xmlrpc_c::value settings = client.call("get_settings", none);
        if (json)
            printf("%s\n", json_value(xmlrpc_c::value_struct(settings)).c_str());
        else
            print_settings(Members(settings));
    } else if (command == "watch") {
        return watch(client, args);
    } else {
        usage_error("unknown command: " + command);
    }
    return ok;
}
}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    long port = 20202;
    double timeout_s = 10;
    bool json = false, verbose = false;
    static const option options[] = {
        {"host", required_argument, nullptr, 'H'},    {"port", required_argument, nullptr, 'p'},
        {"timeout", required_argument, nullptr, 't'}, {"json", no_argument, nullptr, 'j'},
        {"verbose", no_argument, nullptr, 'v'},       {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0}};
    opterr = 0;  // our own messages, with the hint to --help
    int c;
    // "+": stop at the command, so that its arguments (a negative bias, say) stay its own.
    while ((c = getopt_long(argc, argv, "+:hvV", options, nullptr)) != -1) {
        switch (c) {
            case 'h':
                fputs(usage_text, stdout);
                return ok;
            case 'V':
                printf("ftbridge-ctl %s\n", FTBRIDGE_VERSION);
                return ok;
            case 'j':
                json = true;
                break;
            case 'v':
                verbose = true;
                break;
            case 'H':
                host = optarg;
                if (host.empty())
                    usage_error("--host needs a host name or address");
                break;
            case 'p':
                if (!parse_int(optarg, 1, 65535, &port))
                    usage_error("not a port: " + std::string(optarg));
                break;
            case 't':
                if (!parse_double(optarg, &timeout_s) || timeout_s < 0.001 || timeout_s > 86400)
                    usage_error("not a timeout from 0.001 to 86400 s: " + std::string(optarg));
                break;
            case ':':
                usage_error(std::string(argv[optind - 1]) + " needs a value");
            default:
                usage_error("unknown option: " + std::string(argv[optind - 1]));
        }
    }
    if (optind >= argc)
        usage_error("no command given");
    std::string command = argv[optind];
    std::vector<std::string> args(argv + optind + 1, argv + argc);
    try {
        Client client(host, port, timeout_s, verbose);
        return run(client, command, args, json);
    } catch (const std::exception& e) {
        // A reply of an unexpected type: this is not the daemon it should be.
        fprintf(stderr, "ftbridge-ctl: %s: unexpected reply: a wrong type or a member missing\n",
                reply_context.c_str());
        if (verbose)
            fprintf(stderr, "ftbridge-ctl: the library said: %s\n", e.what());
        return refused;
    }
}
