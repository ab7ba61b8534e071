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
// winsock2.h comes before windows.h.
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "netdrv_shared.h"

namespace {

int read_port() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return 15930;
    char* slash = strrchr(path, '\\');
    if (slash)
        strcpy(slash + 1, "netdrv.ini");
    FILE* f = fopen(path, "r");
    int port = 15930;
    if (f) {
        char line[128];
        while (fgets(line, sizeof line, f)) {
            if (strncmp(line, "port=", 5) == 0)
                port = atoi(line + 5);
        }
        fclose(f);
    }
    return port;
}

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

} // namespace

int main() {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL yes = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(read_port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 4) != 0) {
        fprintf(stderr, "netctl: cannot listen (%d)\n", WSAGetLastError());
        return 2;
    }
    bool quit = false;
    while (!quit) {
        SOCKET c = accept(s, nullptr, nullptr);
        if (c == INVALID_SOCKET)
            break;
        std::string pending;
        char buf[512];
        while (!quit) {
            int n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                std::string reply = run(line.c_str(), &quit) + "\n";
                send(c, reply.data(), static_cast<int>(reply.size()), 0);
            }
        }
        closesocket(c);
    }
    closesocket(s);
    WSACleanup();
    return 0;
}
