/* What the preload library and the fakewifi command agree on: the folder
 * they share, the names of the files in it, and the two kernel numbers the
 * library intercepts (checked against station_layout.h by fakewifi_lib). */
#ifndef FAKEWIFI_ABI_H
#define FAKEWIFI_ABI_H

#define FAKEWIFI_DIR_ENV "FAKEWIFI_DIR"
#define FAKEWIFI_FAIL_ENV "FAKEWIFI_FAIL"
#define FAKEWIFI_DEFAULT_DIR "/tmp/fakewifi"

#define FAKEWIFI_EVENTS_SOCK "events.sock"        /* the agent's end of the event channel */
#define FAKEWIFI_PORT_FILE "port"                 /* netlink port the agent bound, text */
#define FAKEWIFI_REGISTRATION_FILE "registration" /* bytes of the agent's first send */
#define FAKEWIFI_TABLE_PREFIX "table."            /* table.<ifname>: packed station entries */

#define FAKEWIFI_NETLINK_PROTOCOL 22
#define FAKEWIFI_STATION_IOCTL 0x89F6

#endif
