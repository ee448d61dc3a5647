/* The run-time TCP options of lwipopts.h, with the stack's defaults: a
 * 5840-byte receive window without window scaling, 16 KiB of send buffer in
 * at most 44 segments. The tunnel changes them only while no connection
 * exists (before the stack starts). */
#include "lwipopts.h"

unsigned int vantor_lwip_tcp_wnd = VANTOR_LWIP_DEFAULT_TCP_WND;
unsigned int vantor_lwip_tcp_snd_buf = VANTOR_LWIP_DEFAULT_TCP_SND_BUF;
unsigned short vantor_lwip_tcp_snd_queuelen = VANTOR_LWIP_DEFAULT_TCP_SND_QUEUELEN;
unsigned char vantor_lwip_tcp_rcv_scale = 0;
unsigned char vantor_lwip_tcp_wnd_scale_on = 0;

unsigned long vantor_lwip_syn_timewait_reused = 0;
unsigned long vantor_lwip_syn_on_open_connection = 0;
unsigned long vantor_lwip_syn_dropped = 0;
