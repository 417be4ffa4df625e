#include "porvane/cli/serve_command.h"

#include <poll.h>

#include <cerrno>
#include <mutex>

#include "platform/cli/command_line.h"
#include "platform/comm/recording_opener.h"
#include "porvane/cli/exit_status.h"
#include "porvane/cli/open_message.h"
#include "porvane/remote/listen_address.h"
#include "porvane/remote/port_server.h"
#include "porvane/serial/serial_channel.h"

namespace porvane::cli {
namespace {

// One line per client event, each written whole and at once, for a reader that follows them.
class ClientLines : public remote::ServerObserver {
  public:
    explicit ClientLines(std::FILE* out) : out_(out) {}
    void ClientArrived(const std::string& peer) override { Say("client " + peer + " connected"); }
    void ClientLeft(const std::string& peer, const std::string& reason) override {
        Say("client " + peer + " left: " + reason);
    }
    void ClientTurnedAway(const std::string& peer, const std::string& served) override {
        Say("client " + peer + " turned away: serving " + served);
    }
    void Say(const std::string& line) {
        std::lock_guard lock(mutex_);
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
    }

  private:
    std::mutex mutex_;  // guards the writes to out_
    std::FILE* out_;
};

// Waits for a stop signal or the port's vanishing; true for the vanishing.
bool WaitForEnd(int stop_fd, int vanished_fd) {
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {vanished_fd, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents & POLLIN)
            return true;
        if (fds[0].revents & POLLIN)
            return false;
    }
}

}  // namespace

int RunServeCommand(const ServeOptions& options, int stop_fd, std::FILE* out, std::FILE* err) {
    std::string error;
    const std::optional<remote::ListenAddress> address =
        remote::ParseListenAddress(options.listen, error);
    if (!address) {
        std::fprintf(err, "porvane-cli: --listen %s: %s\n", options.listen.c_str(), error.c_str());
        return kExitUsage;
    }
    const std::string device_path = comm::DevicePathForPort(options.port);
    const std::string device_behind = DeviceBehind(device_path);
    comm::RecordingOpener opener;
    comm::OpenResult opened = opener.opener()(device_path);
    if (!opened.device) {
        std::fprintf(err, "%s\n", OpenFailureMessage(serial::kMessagePortBusy, opener).c_str());
        return kExitPortNotOpen;
    }
    std::vector<comm::UniqueFd> listeners = remote::OpenListeners(*address, error);
    if (listeners.empty()) {
        std::fprintf(err, "porvane-cli: cannot listen on %s: %s\n", options.listen.c_str(),
                     error.c_str());
        return kExitNotListening;
    }
    std::string where;
    for (const comm::UniqueFd& listener : listeners)
        where += (where.empty() ? "" : ", ") + remote::LocalAddressText(listener.get());

    ClientLines lines(out);
    remote::PortServer server(std::move(opened.device), std::move(listeners),
                              {device_path, cli_support::VersionText("porvane-cli")}, lines);
    if (!server.Start(error)) {
        std::fprintf(err, "porvane-cli: %s: %s\n", device_path.c_str(), error.c_str());
        return kExitPortNotOpen;
    }
    lines.Say("serving " + device_path + " on " + where);
    const bool vanished = WaitForEnd(stop_fd, server.vanished_fd());
    server.Stop();
    if (vanished) {
        std::fprintf(err, "%s\n", PortGoneMessage(device_path, device_behind).c_str());
        return kExitPortVanished;
    }
    return kExitDone;
}

}  // namespace porvane::cli
