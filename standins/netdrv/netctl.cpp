// Control program of the stand-in network driver: serves one line-based control
// channel on 127.0.0.1 (port from netdrv.ini beside the program) and turns each
// command into a NetdrvCommand for "\\.\KorvaneNetCtl".
//
//   PING | RESET [hide] | TCP flags=N | STATUS | EXIT
//   IF id=N index=N type=N in=N out=N sin=N sout=N flags=N fail=N
//   CARD id=N subkey=S service=S desc=S in=N out=N sin=N sout=N flags=N fail=N
//   CARDSET id=N in=N out=N sin=N sout=N flags=N fail=N
//
// Every reply is one line: "OK" and the driver's counts, or "ERR" and a reason.
#include "../peerctl/peerctl.h"

#include <string>

#include "netdrv_shared.h"

namespace {

void copy_value(char* dst, const std::string& v) {
    snprintf(dst, NETDRV_NAME, "%s", v.c_str());
}

// Parses "key=value" tokens into the command; false on an unknown key.
bool parse(const char* rest, NetdrvCommand* cmd, std::string* error) {
    char buf[1024];
    snprintf(buf, sizeof buf, "%s", rest);
    for (char* tok = strtok(buf, " \t\r\n"); tok; tok = strtok(nullptr, " \t\r\n")) {
        char* eq = strchr(tok, '=');
        if (!eq) {
            if (strcmp(tok, "hide") == 0) {
                cmd->flags |= 1;
                continue;
            }
            *error = std::string("no value: ") + tok;
            return false;
        }
        *eq = '\0';
        std::string key = tok, value = eq + 1;
        unsigned long long n = strtoull(value.c_str(), nullptr, 0);
        if (key == "id")
            cmd->id = static_cast<uint32_t>(n);
        else if (key == "index")
            cmd->if_index = static_cast<uint32_t>(n);
        else if (key == "type")
            cmd->if_type = static_cast<uint32_t>(n);
        else if (key == "in")
            cmd->in_octets = n;
        else if (key == "out")
            cmd->out_octets = n;
        else if (key == "sin")
            cmd->step_in = n;
        else if (key == "sout")
            cmd->step_out = n;
        else if (key == "flags")
            cmd->flags = static_cast<uint32_t>(n);
        else if (key == "fail")
            cmd->fail_count = static_cast<uint32_t>(n);
        else if (key == "subkey")
            copy_value(cmd->subkey, value);
        else if (key == "service")
            copy_value(cmd->service, value);
        else if (key == "desc")
            copy_value(cmd->description, value);
        else {
            *error = "unknown key " + key;
            return false;
        }
    }
    return true;
}

std::string join(const uint32_t* v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += (i ? "," : "") + std::to_string(v[i]);
    return s;
}

std::string join64(const uint64_t* v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += (i ? "," : "") + std::to_string(v[i]);
    return s;
}

std::string run(const char* line, bool* quit) {
    char verb[16] = "";
    sscanf(line, "%15s", verb);
    const char* rest = line + strlen(verb);
    NetdrvCommand cmd;
    memset(&cmd, 0, sizeof cmd);
    std::string error;
    if (strcmp(verb, "EXIT") == 0) {
        *quit = true;
        return "OK";
    }
    if (strcmp(verb, "PING") == 0 || strcmp(verb, "STATUS") == 0)
        cmd.op = strcmp(verb, "PING") == 0 ? NETDRV_PING : NETDRV_STATUS;
    else if (strcmp(verb, "RESET") == 0)
        cmd.op = NETDRV_RESET;
    else if (strcmp(verb, "TCP") == 0)
        cmd.op = NETDRV_TCP;
    else if (strcmp(verb, "IF") == 0)
        cmd.op = NETDRV_IF_SET;
    else if (strcmp(verb, "CARD") == 0)
        cmd.op = NETDRV_CARD_ADD;
    else if (strcmp(verb, "CARDSET") == 0)
        cmd.op = NETDRV_CARD_SET;
    else
        return std::string("ERR unknown command ") + verb;
    if (!parse(rest, &cmd, &error))
        return "ERR " + error;

    HANDLE h = CreateFileA(NETDRV_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "ERR driver not running (" + std::to_string(GetLastError()) + ")";
    NetdrvStatus st;
    memset(&st, 0, sizeof st);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, NETDRV_IOCTL, &cmd, sizeof cmd, &st, sizeof st, &got, nullptr);
    DWORD err = GetLastError();
    CloseHandle(h);
    if (!ok)
        return "ERR ioctl failed (" + std::to_string(err) + ")";
    if (got < sizeof st)
        return "ERR short reply " + std::to_string(got);
    return "OK list=" + std::to_string(st.list_queries) +
           " type=" + std::to_string(st.type_queries) + " if=" + std::to_string(st.if_queries) +
           " ndis=" + std::to_string(st.ndis_queries) + " tcpopen=" + std::to_string(st.tcp_opens) +
           " cardopen=" + std::to_string(st.card_opens) +
           " bad=" + std::to_string(st.bad_requests) +
           " cq=" + join(st.card_queries, NETDRV_MAX_CARDS) +
           " cin=" + join64(st.card_in, NETDRV_MAX_CARDS) +
           " cout=" + join64(st.card_out, NETDRV_MAX_CARDS) +
           " ifin=" + join64(st.if_in, NETDRV_MAX_IFS) +
           " ifout=" + join64(st.if_out, NETDRV_MAX_IFS);
}

// One command line of the channel; false after EXIT (once its reply is sent).
bool handle(void*, char* line, char* out, size_t cap) {
    bool quit = false;
    std::string reply = run(line, &quit);
    snprintf(out, cap, "%s", reply.c_str());
    return !quit;
}

} // namespace

int main() {
    static PeerChannel channel;
    unsigned short port = peer_port("netdrv.ini", 15930);
    channel.handler = handle;
    if (!peer_listen(&channel, port)) {
        fprintf(stderr, "netctl: cannot listen (%d)\n", WSAGetLastError());
        return 2;
    }
    peer_serve(&channel); // until EXIT
    closesocket(channel.listener);
    WSACleanup();
    return 0;
}
