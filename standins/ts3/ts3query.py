#!/usr/bin/env python3
"""The TeamSpeak 3 stand-in: a ClientQuery client on 127.0.0.1 as the applet reaches it
(written from the public description of the protocol), driven over a line control
channel of its own (the stand-ins' "OK ..." / "ERR ..." replies, standins/peerctl).

    ts3query.py --query PORT --control PORT

ClientQuery: a greeting ("TS3 Client", a welcome line, "selected schandlerid=1"), then
one command a line, each answered with its data lines and "error id=N msg=TEXT"; lines
end with "\\n\\r". Commands served: auth, clientnotifyregister, whoami, servervariable
virtualserver_name, channelvariable cid=C channel_name, clientlist (-voice),
clientupdate client_input_muted=0|1, use schandlerid=1, quit. Events go to every connection that
registered: notifytalkstatuschange, notifycliententerview, notifyclientleftview,
notifyclientmoved, notifyclientupdated, notifyconnectstatuschange.

Control commands (one a line, "OK ..." or "ERR ..." back):
    PING | RESET | EXIT
    SERVER <name>               the server's name (the rest of the line)
    ONLINE 0|1                  on a server or not (events to registered connections)
    ME <clid> <cid>             the own client
    CHANNEL <cid> <name>
    CLIENT <clid> <cid> <nick>  adds a client or moves it (events)
    LEAVE <clid>
    TALK <clid> 0|1
    MUTE <clid> <input 0|1> <output 0|1>
    KEY [<apikey>]              the key the query wants (none: every command is served)
    STALL <command> <ms> <count>   the next count such commands answer after ms
    DROP <command> <count>      the next count such commands close the connection
    LISTEN 0|1                  the port refuses (0: every connection closed) or listens
    LOG <since>                 "OK n", then n lines "seq command" received after since
    CONNECTIONS                 "OK n": query connections open now
Every wait is bounded; standard library only.
"""

import argparse
import socket
import threading
import time

GREETING = ("TS3 Client\n\rWelcome to the TeamSpeak 3 ClientQuery interface, type \"help\" "
            "for a list of commands and \"help <command>\" for information on a specific "
            "command.\n\rselected schandlerid=1\n\r")
SCHANDLER = 1

_ESC = {"\\": "\\\\", "/": "\\/", " ": "\\s", "|": "\\p", "\a": "\\a", "\b": "\\b",
        "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\v": "\\v"}
_UNESC = {v[1]: k for k, v in _ESC.items()}


def escape(text):
    return "".join(_ESC.get(c, c) for c in text)


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            i += 1
            out.append(_UNESC.get(text[i], text[i]))
        elif c != "\\":
            out.append(c)
        i += 1
    return "".join(out)


def fields(words):
    out = {}
    for w in words:
        k, _, v = w.partition("=")
        out[k] = unescape(v)
    return out


class Client:
    __slots__ = ("clid", "cid", "nick", "talking", "input_muted", "output_muted")

    def __init__(self, clid, cid, nick):
        self.clid, self.cid, self.nick = clid, cid, nick
        self.talking = self.input_muted = self.output_muted = 0

    def entry(self):
        return ("clid=%d cid=%d client_database_id=%d client_nickname=%s client_type=0 "
                "client_flag_talking=%d client_input_muted=%d client_output_muted=%d" % (
                    self.clid, self.cid, self.clid + 100, escape(self.nick), self.talking,
                    self.input_muted, self.output_muted))


class Query:
    """One ClientQuery connection."""

    def __init__(self, state, sock):
        self.state = state
        self.sock = sock
        self.registered = False
        self.authed = False
        self.lock = threading.Lock()  # one writer at a time: answers and events
        self.open = True

    def send(self, text):
        with self.lock:
            if not self.open:
                return
            try:
                self.sock.settimeout(5.0)
                self.sock.sendall(text.encode("utf-8"))
            except OSError:
                self.close()

    def close(self):
        self.open = False
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass

    def serve(self):
        self.send(GREETING)
        buf = b""
        while self.open and not self.state.quit:
            try:
                self.sock.settimeout(0.5)
                chunk = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                break
            if not chunk:
                break
            buf += chunk
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                line = raw.decode("utf-8", "replace").strip("\r")
                if line:
                    self.command(line)
        self.close()
        self.state.forget(self)

    def command(self, line):
        st = self.state
        words = line.split(" ")
        name = words[0]
        st.log_command(line)
        delay, drop = st.fault_for(name)
        if drop:
            self.close()
            return
        if delay:
            time.sleep(delay / 1000.0)
        with st.lock:
            reply = self.answer(name, words[1:])
        self.send("".join(l + "\n\r" for l in reply))

    def answer(self, name, args):
        st = self.state
        ok = "error id=0 msg=ok"
        if name == "auth":
            key = fields(args).get("apikey", "")
            self.authed = st.key is not None and key == st.key
            return [ok] if self.authed else ["error id=256 msg=invalid\\sapikey"]
        if name == "quit":
            self.open = False
            return []
        if st.key is not None and not self.authed and name != "help":
            return ["error id=1796 msg=currently\\snot\\spossible"]
        if name == "use":
            return [ok] if fields(args).get("schandlerid") == str(SCHANDLER) else [
                "error id=1799 msg=invalid\\sserverconnectionhandlerid"]
        if name == "clientnotifyregister":
            self.registered = True
            return [ok]
        if name == "whoami":
            if not st.online:
                return ["error id=1794 msg=not\\sconnected"]
            return ["clid=%d cid=%d" % (st.me, st.own_cid()), ok]
        if not st.online and name in ("servervariable", "channelvariable", "clientlist",
                                      "clientupdate"):
            return ["error id=1794 msg=not\\sconnected"]
        if name == "servervariable":
            return ["virtualserver_name=%s" % escape(st.server), ok]
        if name == "channelvariable":
            cid = int(fields(args).get("cid", "0") or 0)
            return ["cid=%d channel_name=%s" % (cid, escape(st.channels.get(cid, ""))), ok]
        if name == "clientlist":
            return ["|".join(c.entry() for c in st.clients.values()), ok]
        if name == "clientupdate":
            f = fields(args)
            me = st.clients.get(st.me)
            if me and "client_input_muted" in f:
                me.input_muted = 1 if f["client_input_muted"] == "1" else 0
                st.event("notifyclientupdated schandlerid=%d clid=%d client_input_muted=%d" % (
                    SCHANDLER, me.clid, me.input_muted))
            return [ok]
        return ["error id=256 msg=command\\snot\\sfound"]


class State:
    def __init__(self):
        self.lock = threading.RLock()
        self.quit = False
        self.queries = []
        self.seq = 0
        self.log = []
        self.reset()

    def reset(self):
        with self.lock:
            self.server = "Alpha"
            self.online = True
            self.me = 1
            self.channels = {7: "Lobby"}
            self.clients = {1: Client(1, 7, "me")}
            self.key = None
            self.stalls = {}
            self.drops = {}

    def own_cid(self):
        me = self.clients.get(self.me)
        return me.cid if me else 0

    def log_command(self, line):
        with self.lock:
            self.seq += 1
            self.log.append((self.seq, line))
            del self.log[:-2000]

    def fault_for(self, name):
        with self.lock:
            delay = 0
            s = self.stalls.get(name)
            if s and s[1] != 0:
                delay = s[0]
                s[1] -= 1
            d = self.drops.get(name, 0)
            if d:
                self.drops[name] = d - 1
            return delay, d != 0

    def event(self, line):
        """Sent at once, in order, to every registered connection (under the state lock,
        each send bounded)."""
        for q in list(self.queries):
            if q.registered:
                q.send(line + "\n\r")

    def forget(self, q):
        with self.lock:
            if q in self.queries:
                self.queries.remove(q)

    def close_all(self):
        with self.lock:
            qs = list(self.queries)
        for q in qs:
            q.close()


def control(state, args):
    """One control line; returns the reply lines."""
    words = args.split(" ")
    cmd = words[0].upper()
    rest = args[len(words[0]) + 1:] if len(words) > 1 else ""
    st = state
    with st.lock:
        if cmd == "PING":
            return ["OK"]
        if cmd == "RESET":
            st.reset()
            return ["OK"]
        if cmd == "SERVER":
            st.server = rest
            return ["OK"]
        if cmd == "ONLINE":
            on = words[1] == "1"
            if on != st.online:
                st.online = on
                st.event("notifyconnectstatuschange schandlerid=%d status=%s error=0" % (
                    SCHANDLER, "connection_established" if on else "disconnected"))
            return ["OK"]
        if cmd == "ME":
            st.me = int(words[1])
            c = st.clients.get(st.me)
            if c is None:
                st.clients[st.me] = Client(st.me, int(words[2]), "me")
            else:
                c.cid = int(words[2])
            return ["OK"]
        if cmd == "CHANNEL":
            st.channels[int(words[1])] = " ".join(words[2:])
            return ["OK"]
        if cmd == "CLIENT":
            clid, cid, nick = int(words[1]), int(words[2]), " ".join(words[3:])
            c = st.clients.get(clid)
            if c is None:
                st.clients[clid] = Client(clid, cid, nick)
                st.event("notifycliententerview schandlerid=%d cfid=0 ctid=%d reasonid=0 "
                         "%s" % (SCHANDLER, cid, st.clients[clid].entry()))
            else:
                c.nick = nick
                if c.cid != cid:
                    c.cid = cid
                    st.event("notifyclientmoved schandlerid=%d ctid=%d reasonid=0 clid=%d" % (
                        SCHANDLER, cid, clid))
            return ["OK"]
        if cmd == "LEAVE":
            clid = int(words[1])
            c = st.clients.pop(clid, None)
            if c:
                st.event("notifyclientleftview schandlerid=%d cfid=%d ctid=0 reasonid=8 "
                         "reasonmsg=leaving clid=%d" % (SCHANDLER, c.cid, clid))
            return ["OK"]
        if cmd == "TALK":
            c = st.clients.get(int(words[1]))
            if not c:
                return ["ERR no client %s" % words[1]]
            c.talking = 1 if words[2] == "1" else 0
            st.event("notifytalkstatuschange schandlerid=%d status=%d isreceivedwhisper=0 "
                     "clid=%d" % (SCHANDLER, c.talking, c.clid))
            return ["OK"]
        if cmd == "MUTE":
            c = st.clients.get(int(words[1]))
            if not c:
                return ["ERR no client %s" % words[1]]
            c.input_muted, c.output_muted = int(words[2]), int(words[3])
            st.event("notifyclientupdated schandlerid=%d clid=%d client_input_muted=%d "
                     "client_output_muted=%d" % (SCHANDLER, c.clid, c.input_muted,
                                                 c.output_muted))
            return ["OK"]
        if cmd == "KEY":
            st.key = rest if rest else None
            return ["OK"]
        if cmd == "STALL":
            st.stalls[words[1]] = [int(words[2]), int(words[3])]
            return ["OK"]
        if cmd == "DROP":
            st.drops[words[1]] = int(words[2])
            return ["OK"]
        if cmd == "LOG":
            since = int(words[1]) if len(words) > 1 else 0
            lines = ["%d %s" % (s, l) for s, l in st.log if s > since]
            return ["OK %d" % len(lines)] + lines
        if cmd == "CONNECTIONS":
            return ["OK %d" % len(st.queries)]
    if cmd == "LISTEN":
        st.listening = words[1] == "1"
        if not st.listening:
            st.close_all()
        return ["OK"]
    if cmd == "EXIT":
        st.quit = True
        return ["OK"]
    return ["ERR unknown command %s" % cmd]


def query_listener(state, port):
    """Accepts ClientQuery connections while listening; refuses (no socket) otherwise."""
    srv = None
    while not state.quit:
        if state.listening and srv is None:
            srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            srv.bind(("127.0.0.1", port))
            srv.listen(8)
            srv.settimeout(0.2)
        if not state.listening and srv is not None:
            srv.close()
            srv = None
        if srv is None:
            time.sleep(0.1)
            continue
        try:
            s, _ = srv.accept()
        except socket.timeout:
            continue
        except OSError:
            continue
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        q = Query(state, s)
        with state.lock:
            state.queries.append(q)
        threading.Thread(target=q.serve, daemon=True).start()
    if srv is not None:
        srv.close()
    state.close_all()


def control_client(state, s):
    buf = b""
    while not state.quit:
        try:
            s.settimeout(0.5)
            chunk = s.recv(4096)
        except socket.timeout:
            continue
        except OSError:
            break
        if not chunk:
            break
        buf += chunk
        while b"\n" in buf:
            raw, buf = buf.split(b"\n", 1)
            # Latin-1 as the tests' clients send it (standins/peerctl/peer.py); the
            # query side speaks UTF-8.
            line = raw.decode("latin-1").strip("\r")
            if not line:
                continue
            try:
                reply = control(state, line)
            except (ValueError, IndexError) as e:
                reply = ["ERR %s" % e]
            try:
                s.settimeout(5.0)
                s.sendall("".join(r + "\n" for r in reply).encode("latin-1", "replace"))
            except OSError:
                return
    s.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--query", type=int, required=True)
    p.add_argument("--control", type=int, required=True)
    p.add_argument("--refuse", action="store_true", help="start with the query port closed")
    a = p.parse_args()
    state = State()
    state.listening = not a.refuse
    ctl = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    ctl.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ctl.bind(("127.0.0.1", a.control))
    ctl.listen(4)
    ctl.settimeout(0.2)
    threading.Thread(target=query_listener, args=(state, a.query), daemon=True).start()
    while not state.quit:
        try:
            s, _ = ctl.accept()
        except socket.timeout:
            continue
        threading.Thread(target=control_client, args=(state, s), daemon=True).start()
    time.sleep(0.3)  # the EXIT reply goes out
    ctl.close()


if __name__ == "__main__":
    main()
