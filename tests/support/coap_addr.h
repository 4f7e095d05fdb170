// Sender addresses for tests and fuzz targets: libcoap address records built from text.
#pragma once

#include <arpa/inet.h>
#include <coap3/coap.h>
#include <netinet/in.h>

#include <cstdint>

inline coap_address_t ipv4(const char* pc_ip, std::uint16_t u16_port) {
  coap_address_t t{};
  t.size = sizeof(sockaddr_in);
  t.addr.sin.sin_family = AF_INET;
  t.addr.sin.sin_port = htons(u16_port);
  inet_pton(AF_INET, pc_ip, &t.addr.sin.sin_addr);
  return t;
}

inline coap_address_t ipv6(const char* pc_ip, std::uint16_t u16_port) {
  coap_address_t t{};
  t.size = sizeof(sockaddr_in6);
  t.addr.sin6.sin6_family = AF_INET6;
  t.addr.sin6.sin6_port = htons(u16_port);
  inet_pton(AF_INET6, pc_ip, &t.addr.sin6.sin6_addr);
  return t;
}
