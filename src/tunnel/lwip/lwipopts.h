/* lwIP build options of the packet tunnel's TCP/IP stack.
 *
 * The stack runs on the tunnel thread only (NO_SYS, no locking), terminates
 * TCP for every destination routed into the TUN interface and answers ICMP
 * for its own address. Everything else (UDP, raw sockets, DHCP, DNS, ARP,
 * the sequential and socket APIs) is left out. */
#ifndef VANTOR_LWIPOPTS_H
#define VANTOR_LWIPOPTS_H

/* One thread, no OS abstraction, no lwIP timeout list: the tunnel drives the
 * TCP timers from its reactor every 250 ms and the reassembly timers every
 * second. */
#define NO_SYS 1
#define NO_SYS_NO_TIMERS 1
#define LWIP_TIMERS 0
#define SYS_LIGHTWEIGHT_PROT 0
#define LWIP_NETCONN 0
#define LWIP_SOCKET 0
#define LWIP_NETIF_API 0

/* Connection records and buffers come from the C heap, not static pools, so
 * the number of simultaneous connections is bounded by memory alone. */
#define MEM_LIBC_MALLOC 1
#define MEMP_MEM_MALLOC 1
#define MEM_ALIGNMENT 8
#define MEM_SIZE (1024 * 1024)

/* Protocols: IPv4 and IPv6 input with fragment reassembly, TCP and ICMP.
 * Without UDP and raw PCBs, a datagram of another protocol sent to the
 * stack's own address is answered with ICMP protocol-unreachable. */
#define LWIP_IPV4 1
#define LWIP_IPV6 1
#define IP_REASSEMBLY 1
#define IP_FRAG 0
#define LWIP_IPV6_REASS 1
#define LWIP_IPV6_FRAG 0
/* 64-bit pointers do not fit the reassembly helper into the fragment header. */
#define IPV6_FRAG_COPYHEADER 1
#define IP_FORWARD 0
#define LWIP_IPV6_FORWARD 0
#define LWIP_ICMP 1
#define LWIP_ICMP6 1
#define LWIP_TCP 1
#define LWIP_UDP 0
#define LWIP_RAW 0
#define LWIP_ARP 0
#define LWIP_ETHERNET 0
#define LWIP_DHCP 0
#define LWIP_AUTOIP 0
#define LWIP_IGMP 0
#define LWIP_DNS 0
#define LWIP_IPV6_MLD 0
#define LWIP_IPV6_AUTOCONFIG 0
#define LWIP_IPV6_DHCP6 0
#define LWIP_IPV6_SEND_ROUTER_SOLICIT 0
#define LWIP_ND6_QUEUEING 0
#define LWIP_IPV6_SCOPES 0
#define IP_DEFAULT_TTL 255
#define LWIP_SINGLE_NETIF 0
#define LWIP_NETIF_LOOPBACK 0
#define LWIP_HAVE_LOOPIF 0
#define LWIP_NUM_NETIF_CLIENT_DATA 0

/* TCP: MSS 1460 (new connections use 536 until the peer's MSS option is
 * seen); the receive window is reopened only as the SOCKS side takes data.
 *
 * The window, the send buffer (with its segment queue) and window scaling
 * are run-time settings (tcp_options.c): the tunnel sets them for each run
 * (by default a 1 MiB window with scaling). The values here are the small
 * window without scaling (5840 bytes, 16 KiB of send buffer), which the
 * tunnel keeps on request; window scaling is negotiated only when turned on
 * (runtime-window.patch). init.c checks the options with the preprocessor
 * and sees these. */
#define TCP_MSS 1460
#define TCP_CALCULATE_EFF_SEND_MSS 1
#define LWIP_WND_SCALE 1
#define VANTOR_LWIP_DEFAULT_TCP_WND 5840
#define VANTOR_LWIP_DEFAULT_TCP_SND_BUF 16384
#define VANTOR_LWIP_DEFAULT_TCP_SND_QUEUELEN 44
#ifdef VANTOR_LWIP_FIXED_TCP_OPTIONS
#define TCP_WND VANTOR_LWIP_DEFAULT_TCP_WND
#define TCP_SND_BUF VANTOR_LWIP_DEFAULT_TCP_SND_BUF
#define TCP_SND_QUEUELEN VANTOR_LWIP_DEFAULT_TCP_SND_QUEUELEN
#define TCP_RCV_SCALE 0
#else
#ifdef __cplusplus
extern "C" {
#endif
extern unsigned int vantor_lwip_tcp_wnd;
extern unsigned int vantor_lwip_tcp_snd_buf;
extern unsigned short vantor_lwip_tcp_snd_queuelen;
extern unsigned char vantor_lwip_tcp_rcv_scale;
extern unsigned char vantor_lwip_tcp_wnd_scale_on;
#ifdef __cplusplus
}
#endif
#define TCP_WND vantor_lwip_tcp_wnd
#define TCP_SND_BUF vantor_lwip_tcp_snd_buf
#define TCP_SND_QUEUELEN vantor_lwip_tcp_snd_queuelen
#define TCP_RCV_SCALE vantor_lwip_tcp_rcv_scale
#define TCP_WND_SCALE_ON vantor_lwip_tcp_wnd_scale_on
#endif
#define TCP_LISTEN_BACKLOG 0

/* Counters of how the stack met SYNs that did not simply open a connection
 * (timewait-reuse.patch), read by the tunnel for its report. */
#ifdef __cplusplus
extern "C" {
#endif
extern unsigned long vantor_lwip_syn_timewait_reused;
extern unsigned long vantor_lwip_syn_on_open_connection;
extern unsigned long vantor_lwip_syn_dropped;
#ifdef __cplusplus
}
#endif
#define VANTOR_TCP_TIMEWAIT_SYN_REUSED() (++vantor_lwip_syn_timewait_reused)
#define VANTOR_TCP_SYN_ON_OPEN_CONNECTION() (++vantor_lwip_syn_on_open_connection)
#define VANTOR_TCP_SYN_DROPPED() (++vantor_lwip_syn_dropped)
#define TCP_QUEUE_OOSEQ 1
#define LWIP_TCP_TIMESTAMPS 0
#define LWIP_TCP_SACK_OUT 0
#define LWIP_TCP_KEEPALIVE 0
#define LWIP_CALLBACK_API 1
#define LWIP_EVENT_API 0

#define PBUF_POOL_SIZE 64

/* Nothing is counted or traced. */
#define LWIP_STATS 0
#define LWIP_STATS_DISPLAY 0
#define MIB2_STATS 0
#define LWIP_PERF 0

/* Checksums are computed and checked in software for every packet, unless
 * the tunnel turns TCP checksums off on its interface: with segmentation
 * offload the device layer checks what it reads and leaves the outgoing
 * TCP checksums to the host's kernel. */
#define LWIP_CHECKSUM_CTRL_PER_NETIF 1
#define CHECKSUM_GEN_IP 1
#define CHECKSUM_GEN_TCP 1
#define CHECKSUM_GEN_ICMP 1
#define CHECKSUM_GEN_ICMP6 1
#define CHECKSUM_CHECK_IP 1
#define CHECKSUM_CHECK_TCP 1
#define CHECKSUM_CHECK_ICMP 1
#define CHECKSUM_CHECK_ICMP6 1

#endif /* VANTOR_LWIPOPTS_H */
