#include <cstdio>
#include <cstdlib>

#include "fenwire.h"

unsigned char *send_buffer = nullptr;
char sn[SN_SIZE] = "";
char topicsub[TOPIC_PREFIX_SIZE] = "apsub/";
char topicpub[TOPIC_PREFIX_SIZE] = "config/";
char MOSQ_ID[MOSQ_ID_SIZE] = "tavrin_";
char server_sub[SERVER_TOPIC_SIZE] = "";
char server_pub[SERVER_TOPIC_SIZE] = "";
char server_id[SERVER_ID_SIZE] = "";

std::atomic<int> AP_STATE{0};
std::atomic<int> workMode{0};
std::atomic<int> configed{0};
std::atomic<int> state_msg{0};

int join_times = 3;
int join_timeout = 90;
int config_times = 3;
int config_timeout = 90;
int heart_out = 10;
int heart_times = 6;

unsigned char *join_msg = nullptr;
int join_msg_len = 0;
unsigned char *config_msg = nullptr;
int config_msg_len = 0;
pthread_mutex_t mosq_mutex;

void compose_server_names() {
    std::snprintf(server_sub, sizeof server_sub, "%s%s", topicsub, sn);
    std::snprintf(server_pub, sizeof server_pub, "%s%s", topicpub, sn);
    std::snprintf(server_id, sizeof server_id, "%s%s", MOSQ_ID, sn);
}

void discard_response_slots() {
    std::free(join_msg);
    join_msg = nullptr;
    join_msg_len = 0;
    std::free(config_msg);
    config_msg = nullptr;
    config_msg_len = 0;
}
