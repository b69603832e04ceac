// SPDX-License-Identifier: GPL-2.0
/*
 * A DVB adapter with no hardware behind it, for zuva's kernel test: the
 * kernel's own software demultiplexer with a memory frontend. Whatever is
 * written to dvr0 goes through the demultiplexer's section filters (with their
 * CRC check) and PES filters exactly as a tuner's packets would on a PC.
 *
 * Like the demultiplexer of every PC adapter, it has no system time clock:
 * get_stc stays unset, so DMX_GET_STC is refused with EINVAL.
 */
#include <linux/module.h>
#include <media/dvbdev.h>
#include <media/dvb_demux.h>
#include <media/dmxdev.h>

DVB_DEFINE_MOD_OPT_ADAPTER_NR(adapter_nr);

static struct dvb_adapter adapter;
static struct dvb_demux demux;
static struct dmxdev dmxdev;
static struct dmx_frontend memory_frontend;

/* Nothing to start: the packets come from dvr0 writes, not from hardware. */
static int start_feed(struct dvb_demux_feed *feed) { return 0; }
static int stop_feed(struct dvb_demux_feed *feed) { return 0; }

static int __init zuva_dvb_test_init(void)
{
	int ret;

	ret = dvb_register_adapter(&adapter, "zuva memory adapter", THIS_MODULE, NULL, adapter_nr);
	if (ret < 0)
		return ret;

	demux.dmx.capabilities = DMX_TS_FILTERING | DMX_SECTION_FILTERING | DMX_MEMORY_BASED_FILTERING;
	demux.filternum = 32;
	demux.feednum = 32;
	demux.start_feed = start_feed;
	demux.stop_feed = stop_feed;
	ret = dvb_dmx_init(&demux);
	if (ret < 0)
		goto unregister_adapter;

	dmxdev.filternum = 32;
	dmxdev.demux = &demux.dmx;
	dmxdev.capabilities = 0;
	ret = dvb_dmxdev_init(&dmxdev, &adapter);
	if (ret < 0)
		goto release_demux;

	/* Opening dvr0 for writing connects the demultiplexer to this one. */
	memory_frontend.source = DMX_MEMORY_FE;
	ret = demux.dmx.add_frontend(&demux.dmx, &memory_frontend);
	if (ret < 0)
		goto release_dmxdev;
	pr_info("zuva_dvb_test: adapter %d with a memory frontend\n", adapter.num);
	return 0;

release_dmxdev:
	dvb_dmxdev_release(&dmxdev);
release_demux:
	dvb_dmx_release(&demux);
unregister_adapter:
	dvb_unregister_adapter(&adapter);
	return ret;
}

static void __exit zuva_dvb_test_exit(void)
{
	demux.dmx.remove_frontend(&demux.dmx, &memory_frontend);
	dvb_dmxdev_release(&dmxdev);
	dvb_dmx_release(&demux);
	dvb_unregister_adapter(&adapter);
}

module_init(zuva_dvb_test_init);
module_exit(zuva_dvb_test_exit);
MODULE_DESCRIPTION("zuva test: software demultiplexer fed through dvr0");
MODULE_LICENSE("GPL");
