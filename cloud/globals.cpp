#include "ostrel.h"

int State = STATE_CONNECT;
int ApMode = 0;
int isReboot = 0;
char *send_buffer = nullptr;
std::atomic<int> AP_STATE{0};
lua_State *L = nullptr;

int server_keeplive = 0;
int server_port = 0;
int server_delay = 0;
int server_eventinterval = 0;
int server_interval = 0;
int bind_flag = 0;
std::string server_config;
std::string server_sub;
std::string server_event;
std::string server_logger;
std::string server_ip;
unsigned char server_tls = 0;
std::string server_cafile;
std::string server_certfile;
std::string server_keyfile;
std::mutex settings_mutex;
