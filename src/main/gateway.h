// Process entry: starts the three workers and waits for them.
#pragma once

#include <pthread.h>

extern pthread_t g_mqtt_com_thrd_id;
extern pthread_t g_obd2_com_thrd_id;
extern pthread_t g_gpio_cntrl_thrd_id;

int create_threads();
int gateway_main();

// Makes standard output and error line-buffered. Under a service manager stdout
// is a pipe: without this the workers' trace would reach the journal in 4 KiB
// bursts, or never.
void gateway_line_buffered_trace();

// Test-only: replace pthread_create (to inject a failure) and the worker bodies.
using ThreadCreateFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
void gateway_test_set_thread_create(ThreadCreateFn fn);
