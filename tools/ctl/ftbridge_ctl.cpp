// ftbridge-ctl: command-line client for ftbridge's XML-RPC control service.
//
// Exit status: 0 success, 1 the daemon answered with a fault or refused the request,
// 2 usage error, 3 the daemon cannot be reached.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <xmlrpc-c/client.hpp>
#include <xmlrpc-c/client_transport.hpp>
#include <xmlrpc-c/girerr.hpp>

namespace {
enum Exit { ok = 0, refused = 1, usage = 2, unreachable = 3 };

const char* const usage_text =
    "usage: ftbridge-ctl [--host HOST] [--port PORT] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  status                       title, running state and sample frequency in one line\n"
    "  title                        show the title\n"
    "  set-title TEXT               set the title\n"
    "  set-bias FX FY FZ TX TY TZ   subtract these values from every sample\n"
    "  set-output FX FY FZ TX TY TZ make the output read these values from the next sample\n"
    "  filter on|off TYPE           switch the low-pass filter; TYPE 1..4 = 50, 40, 25, 12.5 Hz\n"
    "  configure RATE               reconfigure the sensor for RATE samples/s (takes ~2 s)\n"
    "  freq                         show the measured sample frequency in Hz\n"
    "  running                      show whether the stream is synchronised\n"
    "\n"
    "defaults: --host 127.0.0.1 --port 20202\n";

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

class Client {
public:
    Client(const std::string& host, long port)
        : url_("http://" + host + ":" + std::to_string(port) + "/RPC2"),
          transport_(xmlrpc_c::clientXmlTransport_curl::constrOpt().timeout(10000)),
          client_(&transport_) {}

    // Calls method; a transport failure ends the process with status 3, a fault with 1.
    xmlrpc_c::value call(const char* method, const xmlrpc_c::paramList& params) {
        xmlrpc_c::rpcPtr rpc(method, params);
        xmlrpc_c::carriageParm_curl0 carriage(url_);
        try {
            rpc->call(&client_, &carriage);
        } catch (const std::exception& e) {
            fprintf(stderr, "ftbridge-ctl: cannot reach ftbridge at %s: %s\n", url_.c_str(),
                    e.what());
            exit(unreachable);
        }
        if (!rpc->isSuccessful()) {
            xmlrpc_c::fault f = rpc->getFault();
            fprintf(stderr, "ftbridge-ctl: %s refused: %s (fault %d)\n", method,
                    f.getDescription().c_str(), int(f.getCode()));
            exit(refused);
        }
        return rpc->getResult();
    }

private:
    std::string url_;
    xmlrpc_c::clientXmlTransport_curl transport_;
    xmlrpc_c::client_xml client_;
};

xmlrpc_c::paramList wrench_params(const std::vector<std::string>& args) {
    if (args.size() != 6) usage_error("expected six numbers: FX FY FZ TX TY TZ");
    xmlrpc_c::paramList params;
    for (const std::string& a : args) {
        double v;
        if (!parse_double(a.c_str(), &v)) usage_error("not a finite number: " + a);
        params.add(xmlrpc_c::value_double(v));
    }
    return params;
}

int int_result(const xmlrpc_c::value& v) { return xmlrpc_c::value_int(v).cvalue(); }
std::string string_result(const xmlrpc_c::value& v) { return xmlrpc_c::value_string(v).cvalue(); }
bool bool_result(const xmlrpc_c::value& v) { return xmlrpc_c::value_boolean(v).cvalue(); }
double double_result(const xmlrpc_c::value& v) { return xmlrpc_c::value_double(v).cvalue(); }

void expect_args(const std::vector<std::string>& args, size_t n, const char* form) {
    if (args.size() != n) usage_error(std::string("usage: ftbridge-ctl ") + form);
}

int run(Client& client, const std::string& command, const std::vector<std::string>& args) {
    const xmlrpc_c::paramList none;
    if (command == "status") {
        expect_args(args, 0, "status");
        std::string title = string_result(client.call("get_title", none));
        bool running = bool_result(client.call("is_running", none));
        double freq = double_result(client.call("get_sample_freq", none));
        printf("title: %s; running: %s; sample frequency: %.1f Hz\n", title.c_str(),
               running ? "yes" : "no", freq);
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
        expect_args(args, 2, "filter on|off TYPE");
        if (args[0] != "on" && args[0] != "off") usage_error("filter takes on or off");
        long type;
        if (!parse_int(args[1].c_str(), INT32_MIN, INT32_MAX, &type))
            usage_error("not a filter type: " + args[1]);
        xmlrpc_c::paramList params;
        params.add(xmlrpc_c::value_boolean(args[0] == "on"));
        params.add(xmlrpc_c::value_int(int(type)));
        if (int_result(client.call("enable_filter", params)) != 0) {
            fprintf(stderr,
                    "ftbridge-ctl: filter type %ld is not one of 1..4: filter switched %s, "
                    "cut-off unchanged\n",
                    type, args[0].c_str());
            return refused;
        }
    } else if (command == "configure") {
        expect_args(args, 1, "configure RATE");
        double rate;
        if (!parse_double(args[0].c_str(), &rate)) usage_error("not a finite rate: " + args[0]);
        xmlrpc_c::paramList params;
        params.add(xmlrpc_c::value_double(rate));
        if (int_result(client.call("configure_sensor", params)) != 0) {
            fprintf(stderr, "ftbridge-ctl: the sensor port is not open yet; try again later\n");
            return refused;
        }
    } else if (command == "freq") {
        expect_args(args, 0, "freq");
        printf("%.3f\n", double_result(client.call("get_sample_freq", none)));
    } else if (command == "running") {
        expect_args(args, 0, "running");
        printf("%s\n", bool_result(client.call("is_running", none)) ? "true" : "false");
    } else {
        usage_error("unknown command: " + command);
    }
    return ok;
}
}  // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    long port = 20202;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        std::string option = argv[i];
        if (option == "--help") {
            fputs(usage_text, stdout);
            return ok;
        }
        if (i + 1 >= argc) usage_error(option + " needs a value");
        if (option == "--host") {
            host = argv[++i];
        } else if (option == "--port") {
            if (!parse_int(argv[++i], 1, 65535, &port)) usage_error("not a port: " + std::string(argv[i]));
        } else {
            usage_error("unknown option: " + option);
        }
    }
    if (i >= argc) usage_error("no command given");
    std::string command = argv[i];
    std::vector<std::string> args(argv + i + 1, argv + argc);
    try {
        Client client(host, port);
        return run(client, command, args);
    } catch (const std::exception& e) {
        // A reply of an unexpected type: this is not the daemon it should be.
        fprintf(stderr, "ftbridge-ctl: unexpected reply: %s\n", e.what());
        return refused;
    }
}
