// The MQTT publisher: one libmosquitto client, driven by a thread of its own.
//
// The thread calls mosquitto_loop itself rather than mosquitto_loop_start:
// libmosquitto's own loop gives up for good after some errors (a failed TLS
// handshake, for one) and sleeps through its reconnect delay without a way to
// cut it short, while a gateway must keep trying and stop at once.
#include "mqtt_publisher.h"

#include "vx7settings/settings.h"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>

namespace vx7::mqtt {
namespace {

constexpr int kKeepaliveSeconds = 15;
constexpr int kLoopTimeoutMs = 200;

std::once_flag lib_once;

std::string error_json(const std::string &message)
{
    return nlohmann::json{{"error", message}}.dump();
}

int no_key_password(char *, int, int, void *)
{
    return 0; // an encrypted key cannot be used: there is nobody to ask
}

} // namespace

int backoff_seconds(int failures)
{
    return failures >= 5 ? 30 : 1 << failures;
}

Publisher::Publisher(Config config, ConfigureFn configure, LogFn log)
    : config_(std::move(config)), configure_(std::move(configure)), log_(std::move(log))
{
    status_topic_ = config_.prefix + "/status";
}

Publisher::~Publisher()
{
    stop();
    if (mosq_ != nullptr)
        mosquitto_destroy(mosq_);
}

void Publisher::log(const std::string &line)
{
    if (log_)
        log_(line);
    else
        std::fprintf(stderr, "vx7-gateway: %s\n", line.c_str());
}

std::string Publisher::start()
{
    std::call_once(lib_once, [] { mosquitto_lib_init(); });
    mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
    if (mosq_ == nullptr)
        return "cannot create the MQTT client (out of memory)";
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &Publisher::on_connect);
    mosquitto_disconnect_callback_set(mosq_, &Publisher::on_disconnect);
    mosquitto_publish_callback_set(mosq_, &Publisher::on_publish);
    mosquitto_message_callback_set(mosq_, &Publisher::on_message);

    int rc = mosquitto_will_set(mosq_, status_topic_.c_str(), 7, "offline", 1, true);
    if (rc != MOSQ_ERR_SUCCESS)
        return std::string("cannot set the MQTT will: ") + mosquitto_strerror(rc);
    if (!config_.username.empty()) {
        rc = mosquitto_username_pw_set(mosq_, config_.username.c_str(), config_.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS)
            return std::string("cannot use the MQTT credentials: ") + mosquitto_strerror(rc);
    }
    if (config_.tls) {
        const char *cafile = config_.cafile.empty() ? nullptr : config_.cafile.c_str();
        const char *capath = cafile == nullptr ? "/etc/ssl/certs" : nullptr;
        const char *cert = config_.certfile.empty() ? nullptr : config_.certfile.c_str();
        const char *key = config_.keyfile.empty() ? nullptr : config_.keyfile.c_str();
        rc = mosquitto_tls_set(mosq_, cafile, capath, cert, key, &no_key_password);
        if (rc != MOSQ_ERR_SUCCESS)
            return std::string("cannot use the TLS files given for MQTT: ") + mosquitto_strerror(rc);
    }
    if (configure_)
        worker_ = std::thread(&Publisher::configure_loop, this);
    network_ = std::thread(&Publisher::network_loop, this);
    return {};
}

bool Publisher::wait_backoff(int seconds)
{
    std::unique_lock lock(wake_mu_);
    return !wake_.wait_for(lock, std::chrono::seconds(seconds), [this] { return stopping_.load(); });
}

void Publisher::network_loop()
{
    const std::string where = config_.host + ":" + std::to_string(config_.port);
    bool first = true;
    while (!stopping_) {
        int rc = first ? mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, kKeepaliveSeconds)
                       : mosquitto_reconnect_async(mosq_);
        first = false;
        const std::uint64_t connections_before = connections_.load();
        int after_stop = 0;
        while (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(mosq_, kLoopTimeoutMs, 1);
            // After stop(): time for the DISCONNECT to go out, then leave.
            if (stopping_ && (!connected_ || ++after_stop > 10))
                break;
        }
        if (stopping_)
            break;
        connected_ = false;
        const int failures = failures_.fetch_add(1);
        const int delay = backoff_seconds(failures);
        std::string why;
        if (!last_refusal_.empty()) {
            why = "the broker at " + where + " refused the connection: " + last_refusal_;
            last_refusal_.clear();
        } else if (connections_.load() != connections_before) {
            why = "lost the connection to the broker at " + where + " (" + mosquitto_strerror(rc) + ")";
        } else {
            why = "cannot connect to the broker at " + where + " (" + mosquitto_strerror(rc) + ")";
        }
        log("MQTT: " + why + "; trying again in " + std::to_string(delay) + " s");
        if (!wait_backoff(delay))
            break;
    }
    connected_ = false;
}

void Publisher::on_connect(mosquitto *, void *self_ptr, int rc)
{
    auto *self = static_cast<Publisher *>(self_ptr);
    if (rc != 0) {
        self->last_refusal_ = mosquitto_connack_string(rc);
        if ((rc == 4 || rc == 5) && !self->config_.credentials_file.empty())
            self->last_refusal_ += " (check the user name and password in " + self->config_.credentials_file + ")";
        else if (rc == 4 || rc == 5)
            self->last_refusal_ += " (give a user name and password with --mqtt-credentials)";
        return;
    }
    self->failures_ = 0;
    self->last_refusal_.clear();
    self->pending_ = 0;
    self->connections_.fetch_add(1);
    self->connected_ = true;
    self->pending_.fetch_add(1);
    if (mosquitto_publish(self->mosq_, nullptr, self->status_topic_.c_str(), 6, "online", 1, true) != MOSQ_ERR_SUCCESS)
        self->pending_.fetch_sub(1);
    const std::string set_topic = self->config_.prefix + "/+/set";
    mosquitto_subscribe(self->mosq_, nullptr, set_topic.c_str(), self->config_.qos);
    self->log("MQTT: connected to the broker at " + self->config_.host + ":" + std::to_string(self->config_.port) +
              " as " + self->config_.client_id + ", publishing under " + self->config_.prefix + "/");
}

void Publisher::on_disconnect(mosquitto *, void *self_ptr, int)
{
    auto *self = static_cast<Publisher *>(self_ptr);
    self->connected_ = false;
}

void Publisher::on_publish(mosquitto *, void *self_ptr, int)
{
    auto *self = static_cast<Publisher *>(self_ptr);
    std::int64_t p = self->pending_.load();
    while (p > 0 && !self->pending_.compare_exchange_weak(p, p - 1)) {
    }
}

void Publisher::publish(const vx7_sample &sample)
{
    if (sample.channel < 1 || sample.channel > 4 || mosq_ == nullptr)
        return;
    if (!connected_ || pending_.load() + 2 > kMaxPending) {
        dropped_.fetch_add(1);
        return;
    }
    const std::string payload = sample_json(sample, &config_.channels.of(sample.channel));
    const std::string topic = config_.prefix + "/" + std::to_string(sample.channel);
    const int length = static_cast<int>(payload.size());
    pending_.fetch_add(2);
    if (mosquitto_publish(mosq_, nullptr, topic.c_str(), length, payload.data(), config_.qos, false) !=
        MOSQ_ERR_SUCCESS) {
        pending_.fetch_sub(2);
        dropped_.fetch_add(1);
        return;
    }
    published_.fetch_add(1);
    const std::string last = topic + "/last";
    if (mosquitto_publish(mosq_, nullptr, last.c_str(), length, payload.data(), config_.qos, true) != MOSQ_ERR_SUCCESS)
        pending_.fetch_sub(1);
}

void Publisher::on_message(mosquitto *, void *self_ptr, const mosquitto_message *message)
{
    auto *self = static_cast<Publisher *>(self_ptr);
    if (message->topic == nullptr)
        return;
    std::string body;
    if (message->payload != nullptr && message->payloadlen > 0)
        body.assign(static_cast<const char *>(message->payload), static_cast<std::size_t>(message->payloadlen));
    self->handle_set(message->topic, std::move(body), message->retain);
}

void Publisher::answer(const std::string &channel_text, const std::string &body)
{
    if (!connected_)
        return;
    const std::string topic = config_.prefix + "/" + channel_text + "/set/result";
    pending_.fetch_add(1);
    if (mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(body.size()), body.data(), config_.qos,
                          false) != MOSQ_ERR_SUCCESS)
        pending_.fetch_sub(1);
}

void Publisher::handle_set(const std::string &topic, std::string body, bool retained)
{
    // The subscription is <prefix>/+/set: the topic is that, with one level between.
    const std::string head = config_.prefix + "/";
    if (!topic.starts_with(head) || !topic.ends_with("/set") || topic.size() < head.size() + 4)
        return;
    const std::string channel_text = topic.substr(head.size(), topic.size() - head.size() - 4);
    if (retained) {
        // A retained request would be carried out again at every reconnection.
        answer(channel_text, error_json("retained set messages are not carried out; publish without retain "
                                        "(and clear this one with an empty retained message)"));
        return;
    }
    if (!config_.allow_configure) {
        answer(channel_text, error_json("configuration is not allowed: vx7-gateway runs without --allow-configure"));
        return;
    }
    std::uint8_t device_channel = 0;
    if (std::string e = settings::check_channel("channel", channel_text, device_channel); !e.empty()) {
        answer(channel_text, error_json(e));
        return;
    }
    if (body.size() > kMaxSetBody) {
        answer(channel_text, error_json("request body larger than " + std::to_string(kMaxSetBody) + " bytes"));
        return;
    }
    const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        answer(channel_text, error_json("the request body must be a JSON object"));
        return;
    }
    if (!configure_) {
        answer(channel_text, error_json("configuration is not available"));
        return;
    }
    {
        std::lock_guard lock(set_mu_);
        if (set_queue_.size() < kMaxSetQueue) {
            set_queue_.emplace_back(channel_text, std::move(body));
            set_cv_.notify_one();
            return;
        }
    }
    answer(channel_text, error_json("too many configuration requests waiting; try again"));
}

void Publisher::configure_loop()
{
    for (;;) {
        std::pair<std::string, std::string> request;
        {
            std::unique_lock lock(set_mu_);
            set_cv_.wait(lock, [this] { return stopping_.load() || !set_queue_.empty(); });
            if (stopping_)
                return;
            request = std::move(set_queue_.front());
            set_queue_.pop_front();
        }
        std::string result;
        try {
            result = configure_(std::stoi(request.first), request.second).second;
        } catch (const std::exception &e) {
            result = error_json(std::string("configuration failed: ") + e.what());
        }
        answer(request.first, result);
    }
}

void Publisher::stop(int wait_ms)
{
    if (mosq_ == nullptr || (!network_.joinable() && !worker_.joinable()))
        return;
    if (connected_ && !stopping_) {
        // A clean DISCONNECT makes the broker discard the will: say "offline"
        // ourselves, and give it (and what was queued before it) time to go out.
        pending_.fetch_add(1);
        if (mosquitto_publish(mosq_, nullptr, status_topic_.c_str(), 7, "offline", 1, true) == MOSQ_ERR_SUCCESS) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
            while (pending_.load() > 0 && connected_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else {
            pending_.fetch_sub(1);
        }
    }
    {
        std::lock_guard lock(wake_mu_);
        stopping_ = true;
        wake_.notify_all();
    }
    {
        std::lock_guard lock(set_mu_);
        set_cv_.notify_all();
    }
    mosquitto_disconnect(mosq_);
    if (network_.joinable())
        network_.join();
    if (worker_.joinable())
        worker_.join();
    connected_ = false;
}

std::string Publisher::metrics() const
{
    std::string r;
    r += "# HELP vx7_mqtt_connected Whether the gateway is connected to its MQTT broker (1) or not (0).\n";
    r += "# TYPE vx7_mqtt_connected gauge\n";
    r += "vx7_mqtt_connected " + std::string(connected() ? "1" : "0") + "\n";
    r += "# HELP vx7_mqtt_dropped_total Samples not published because the MQTT broker was unreachable or too slow.\n";
    r += "# TYPE vx7_mqtt_dropped_total counter\n";
    r += "vx7_mqtt_dropped_total " + std::to_string(dropped()) + "\n";
    return r;
}

} // namespace vx7::mqtt
