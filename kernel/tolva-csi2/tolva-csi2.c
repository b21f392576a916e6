// SPDX-License-Identifier: GPL-2.0-only
/*
 * CSI-2 source whose format user space sets.
 *
 * The camera's sensor is programmed over I2C from user space, so no sensor
 * driver runs. The receivers (Unicam, RP1 CFE) still need a sub-device at the
 * other end of their device-tree endpoint: this one tells them what arrives
 * on the link (format, size, lanes, link frequency) and keeps the camera's
 * power on from probe to remove, so that the sensor answers on I2C before
 * anything streams. Streaming itself is the sensor's business: s_stream only
 * records the state.
 */

#include <linux/i2c.h>
#include <linux/kref.h>
#include <linux/math64.h>
#include <linux/mod_devicetable.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <linux/property.h>
#include <linux/regulator/consumer.h>
#include <linux/slab.h>
#include <linux/version.h>
#include <media/v4l2-async.h>
#include <media/v4l2-ctrls.h>
#include <media/v4l2-fwnode.h>
#include <media/v4l2-subdev.h>

#define TOLVA_CSI2_NAME "tolva-csi2"

/*
 * Both receivers take 16 to 16376 pixels a side (Unicam's limit, CFE's is
 * 16384) and round the width of their video node to a multiple of 4: a source
 * width they would round differs from the video node's and fails link
 * validation, so it is refused here with a clear -EINVAL instead. The height
 * is even because an image is made of whole 2x2 Bayer cells.
 */
#define TOLVA_CSI2_MIN_SIZE 16
#define TOLVA_CSI2_MAX_SIZE 16376
#define TOLVA_CSI2_WIDTH_STEP 4
#define TOLVA_CSI2_HEIGHT_STEP 2
#define TOLVA_CSI2_DEFAULT_WIDTH 640
#define TOLVA_CSI2_DEFAULT_HEIGHT 480

/*
 * The module is built out of tree for the kernels of several releases; what
 * changed between them: the sub-device state helpers were renamed and the
 * state's initialiser moved to the internal ops in 6.8, and the platform
 * driver's remove returns void from 6.11 on.
 */
#define TOLVA_CSI2_STATE_API_6_8 (KERNEL_VERSION(6, 8, 0) <= LINUX_VERSION_CODE)
#define TOLVA_CSI2_VOID_REMOVE (KERNEL_VERSION(6, 11, 0) <= LINUX_VERSION_CODE)

struct tolva_csi2_format {
	u32 code;
	u8 bits;
};

static const struct tolva_csi2_format tolva_csi2_formats[] = {
	{ MEDIA_BUS_FMT_SRGGB10_1X10, 10 },
	{ MEDIA_BUS_FMT_SGRBG10_1X10, 10 },
	{ MEDIA_BUS_FMT_SGBRG10_1X10, 10 },
	{ MEDIA_BUS_FMT_SBGGR10_1X10, 10 },
	{ MEDIA_BUS_FMT_Y10_1X10, 10 },
	{ MEDIA_BUS_FMT_SRGGB12_1X12, 12 },
	{ MEDIA_BUS_FMT_SGRBG12_1X12, 12 },
	{ MEDIA_BUS_FMT_SGBRG12_1X12, 12 },
	{ MEDIA_BUS_FMT_SBGGR12_1X12, 12 },
	{ MEDIA_BUS_FMT_Y12_1X12, 12 },
};

/*
 * The sub-device can outlive the platform device: a receiver that had bound it
 * releases it when its last user is gone. Two references keep this structure:
 * the driver's, dropped in remove, and the receiver's, taken when the
 * sub-device is registered and dropped when the framework releases it.
 */
struct tolva_csi2 {
	struct kref refs;
	struct v4l2_subdev sd;
	struct media_pad pad;
	struct v4l2_ctrl_handler ctrls;
	struct v4l2_ctrl *pixel_rate;
	/* The only menu entry of V4L2_CID_LINK_FREQ. */
	s64 link_freq;
	unsigned int lanes;
	unsigned int bus_flags;
	/* Serialises streaming with format changes. */
	struct mutex stream_lock;
	bool streaming;
};

static struct tolva_csi2 *to_tolva_csi2(struct v4l2_subdev *sd)
{
	return container_of(sd, struct tolva_csi2, sd);
}

static const struct tolva_csi2_format *tolva_csi2_find_format(u32 code)
{
	unsigned int i;

	for (i = 0; i < ARRAY_SIZE(tolva_csi2_formats); i++)
		if (tolva_csi2_formats[i].code == code)
			return &tolva_csi2_formats[i];
	return NULL;
}

static bool tolva_csi2_size_valid(u32 size, u32 step)
{
	return size >= TOLVA_CSI2_MIN_SIZE && size <= TOLVA_CSI2_MAX_SIZE &&
	       size % step == 0;
}

/* Pixels a second that the link carries at its frequency (double data rate). */
static s64 tolva_csi2_pixel_rate(const struct tolva_csi2 *src,
				 const struct tolva_csi2_format *format)
{
	return div_u64((u64)src->link_freq * 2 * src->lanes, format->bits);
}

static void tolva_csi2_fill_format(struct v4l2_mbus_framefmt *fmt, u32 code,
				   u32 width, u32 height)
{
	memset(fmt, 0, sizeof(*fmt));
	fmt->code = code;
	fmt->width = width;
	fmt->height = height;
	fmt->field = V4L2_FIELD_NONE;
	fmt->colorspace = V4L2_COLORSPACE_RAW;
	fmt->ycbcr_enc = V4L2_YCBCR_ENC_601;
	fmt->quantization = V4L2_QUANTIZATION_FULL_RANGE;
	fmt->xfer_func = V4L2_XFER_FUNC_NONE;
}

static struct v4l2_mbus_framefmt *
tolva_csi2_state_format(struct v4l2_subdev *sd, struct v4l2_subdev_state *state)
{
#if TOLVA_CSI2_STATE_API_6_8
	return v4l2_subdev_state_get_format(state, 0);
#else
	return v4l2_subdev_get_pad_format(sd, state, 0);
#endif
}

static int tolva_csi2_init_format(struct v4l2_subdev *sd,
				  struct v4l2_subdev_state *state)
{
	tolva_csi2_fill_format(tolva_csi2_state_format(sd, state),
			       tolva_csi2_formats[0].code,
			       TOLVA_CSI2_DEFAULT_WIDTH,
			       TOLVA_CSI2_DEFAULT_HEIGHT);
	return 0;
}

static int tolva_csi2_enum_mbus_code(struct v4l2_subdev *sd,
				     struct v4l2_subdev_state *state,
				     struct v4l2_subdev_mbus_code_enum *code)
{
	if (code->index >= ARRAY_SIZE(tolva_csi2_formats))
		return -EINVAL;
	code->code = tolva_csi2_formats[code->index].code;
	return 0;
}

static int tolva_csi2_enum_frame_size(struct v4l2_subdev *sd,
				      struct v4l2_subdev_state *state,
				      struct v4l2_subdev_frame_size_enum *fse)
{
	if (fse->index || !tolva_csi2_find_format(fse->code))
		return -EINVAL;
	fse->min_width = TOLVA_CSI2_MIN_SIZE;
	fse->max_width = TOLVA_CSI2_MAX_SIZE;
	fse->min_height = TOLVA_CSI2_MIN_SIZE;
	fse->max_height = TOLVA_CSI2_MAX_SIZE;
	return 0;
}

static int tolva_csi2_apply_format(struct v4l2_subdev *sd,
				   struct v4l2_subdev_state *state,
				   struct v4l2_subdev_format *format)
{
	struct tolva_csi2 *src = to_tolva_csi2(sd);
	struct v4l2_mbus_framefmt *fmt = &format->format;
	const struct tolva_csi2_format *info;
	s64 rate;
	int ret;

	info = tolva_csi2_find_format(fmt->code);
	if (!info || !tolva_csi2_size_valid(fmt->width, TOLVA_CSI2_WIDTH_STEP) ||
	    !tolva_csi2_size_valid(fmt->height, TOLVA_CSI2_HEIGHT_STEP))
		return -EINVAL;
	tolva_csi2_fill_format(fmt, fmt->code, fmt->width, fmt->height);

	if (format->which == V4L2_SUBDEV_FORMAT_TRY) {
		*tolva_csi2_state_format(sd, state) = *fmt;
		return 0;
	}

	rate = tolva_csi2_pixel_rate(src, info);
	mutex_lock(&src->stream_lock);
	if (src->streaming) {
		ret = -EBUSY;
	} else {
		*tolva_csi2_state_format(sd, state) = *fmt;
		ret = __v4l2_ctrl_modify_range(src->pixel_rate, rate, rate, 1,
					       rate);
	}
	mutex_unlock(&src->stream_lock);
	return ret;
}

static int tolva_csi2_read_format(struct v4l2_subdev *sd,
				  struct v4l2_subdev_state *state,
				  struct v4l2_subdev_format *format)
{
	format->format = *tolva_csi2_state_format(sd, state);
	return 0;
}

/*
 * Receivers of older kernels ask for the active format with no state or with
 * a state of their own; the active format lives in the sub-device's active
 * state only, so such a call is served from there, under its lock.
 */
static int tolva_csi2_on_active_state(struct v4l2_subdev *sd,
				      struct v4l2_subdev_state *state,
				      struct v4l2_subdev_format *format,
				      int (*op)(struct v4l2_subdev *sd,
						struct v4l2_subdev_state *state,
						struct v4l2_subdev_format *format))
{
	int ret;

	if (format->pad)
		return -EINVAL;
	if (format->which == V4L2_SUBDEV_FORMAT_TRY || state == sd->active_state)
		return op(sd, state, format);

	state = v4l2_subdev_lock_and_get_active_state(sd);
	ret = op(sd, state, format);
	v4l2_subdev_unlock_state(state);
	return ret;
}

static int tolva_csi2_get_fmt(struct v4l2_subdev *sd,
			      struct v4l2_subdev_state *state,
			      struct v4l2_subdev_format *format)
{
	return tolva_csi2_on_active_state(sd, state, format,
					  tolva_csi2_read_format);
}

static int tolva_csi2_set_fmt(struct v4l2_subdev *sd,
			      struct v4l2_subdev_state *state,
			      struct v4l2_subdev_format *format)
{
	return tolva_csi2_on_active_state(sd, state, format,
					  tolva_csi2_apply_format);
}

static int tolva_csi2_get_mbus_config(struct v4l2_subdev *sd, unsigned int pad,
				      struct v4l2_mbus_config *config)
{
	struct tolva_csi2 *src = to_tolva_csi2(sd);

	memset(config, 0, sizeof(*config));
	config->type = V4L2_MBUS_CSI2_DPHY;
	config->bus.mipi_csi2.num_data_lanes = src->lanes;
	config->bus.mipi_csi2.flags = src->bus_flags;
	return 0;
}

static int tolva_csi2_s_stream(struct v4l2_subdev *sd, int enable)
{
	struct tolva_csi2 *src = to_tolva_csi2(sd);

	mutex_lock(&src->stream_lock);
	src->streaming = enable;
	mutex_unlock(&src->stream_lock);
	return 0;
}

static const struct v4l2_subdev_video_ops tolva_csi2_video_ops = {
	.s_stream = tolva_csi2_s_stream,
};

static const struct v4l2_subdev_pad_ops tolva_csi2_pad_ops = {
#if !TOLVA_CSI2_STATE_API_6_8
	.init_cfg = tolva_csi2_init_format,
#endif
	.enum_mbus_code = tolva_csi2_enum_mbus_code,
	.enum_frame_size = tolva_csi2_enum_frame_size,
	.get_fmt = tolva_csi2_get_fmt,
	.set_fmt = tolva_csi2_set_fmt,
	.get_mbus_config = tolva_csi2_get_mbus_config,
};

static const struct v4l2_subdev_ops tolva_csi2_ops = {
	.video = &tolva_csi2_video_ops,
	.pad = &tolva_csi2_pad_ops,
};

static void tolva_csi2_free(struct kref *refs)
{
	struct tolva_csi2 *src = container_of(refs, struct tolva_csi2, refs);

	v4l2_subdev_cleanup(&src->sd);
	media_entity_cleanup(&src->sd.entity);
	v4l2_ctrl_handler_free(&src->ctrls);
	mutex_destroy(&src->stream_lock);
	kfree(src);
}

static int tolva_csi2_registered(struct v4l2_subdev *sd)
{
	kref_get(&to_tolva_csi2(sd)->refs);
	return 0;
}

static void tolva_csi2_release(struct v4l2_subdev *sd)
{
	kref_put(&to_tolva_csi2(sd)->refs, tolva_csi2_free);
}

static const struct v4l2_subdev_internal_ops tolva_csi2_internal_ops = {
#if TOLVA_CSI2_STATE_API_6_8
	.init_state = tolva_csi2_init_format,
#endif
	.registered = tolva_csi2_registered,
	.release = tolva_csi2_release,
};

/* Lanes, clock mode and link frequency from the endpoint the overlay wrote. */
static int tolva_csi2_parse_endpoint(struct device *dev, struct tolva_csi2 *src)
{
	struct v4l2_fwnode_endpoint ep = { .bus_type = V4L2_MBUS_CSI2_DPHY };
	struct fwnode_handle *node;
	int ret;

	node = fwnode_graph_get_next_endpoint(dev_fwnode(dev), NULL);
	if (!node)
		return dev_err_probe(dev, -EINVAL, "no endpoint in %pOF\n",
				     dev->of_node);
	ret = v4l2_fwnode_endpoint_alloc_parse(node, &ep);
	fwnode_handle_put(node);
	if (ret)
		return dev_err_probe(dev, ret, "endpoint not CSI-2 D-PHY\n");

	src->lanes = ep.bus.mipi_csi2.num_data_lanes;
	src->bus_flags = ep.bus.mipi_csi2.flags;
	if (src->lanes != 1 && src->lanes != 2 && src->lanes != 4)
		ret = dev_err_probe(dev, -EINVAL,
				    "data-lanes: %u lanes, use 1, 2 or 4\n",
				    src->lanes);
	else if (ep.nr_of_link_frequencies != 1 || !ep.link_frequencies[0] ||
		 ep.link_frequencies[0] > S64_MAX)
		ret = dev_err_probe(dev, -EINVAL,
				    "link-frequencies: give one frequency in Hz\n");
	else
		src->link_freq = ep.link_frequencies[0];
	v4l2_fwnode_endpoint_free(&ep);
	return ret;
}

/* The I2C adapter of the camera's connector names the entity. */
static int tolva_csi2_adapter_number(struct device *dev)
{
	struct device_node *bus_node;
	struct i2c_adapter *adapter;
	int number;

	bus_node = of_parse_phandle(dev->of_node, "i2c-bus", 0);
	if (!bus_node)
		return dev_err_probe(dev, -EINVAL,
				     "no i2c-bus phandle in %pOF\n",
				     dev->of_node);
	adapter = of_find_i2c_adapter_by_node(bus_node);
	of_node_put(bus_node);
	if (!adapter)
		return dev_err_probe(dev, -EPROBE_DEFER,
				     "waiting for the connector's I2C adapter\n");
	number = i2c_adapter_id(adapter);
	put_device(&adapter->dev);
	return number;
}

static int tolva_csi2_init_controls(struct tolva_csi2 *src)
{
	const struct tolva_csi2_format *first = &tolva_csi2_formats[0];
	struct v4l2_ctrl_handler *ctrls = &src->ctrls;
	struct v4l2_ctrl *link_freq;
	s64 rate = tolva_csi2_pixel_rate(src, first);

	v4l2_ctrl_handler_init(ctrls, 2);
	link_freq = v4l2_ctrl_new_int_menu(ctrls, NULL, V4L2_CID_LINK_FREQ, 0,
					   0, &src->link_freq);
	if (link_freq)
		link_freq->flags |= V4L2_CTRL_FLAG_READ_ONLY;
	src->pixel_rate = v4l2_ctrl_new_std(ctrls, NULL, V4L2_CID_PIXEL_RATE,
					    rate, rate, 1, rate);
	src->sd.ctrl_handler = ctrls;
	return ctrls->error;
}

static void tolva_csi2_power_off(void *supply)
{
	regulator_disable(supply);
}

static int tolva_csi2_power_on(struct device *dev)
{
	struct regulator *supply;
	int ret;

	supply = devm_regulator_get(dev, "vdd");
	if (IS_ERR(supply))
		return dev_err_probe(dev, PTR_ERR(supply),
				     "no camera regulator (vdd-supply)\n");
	ret = regulator_enable(supply);
	if (ret)
		return dev_err_probe(dev, ret, "camera regulator stays off\n");
	return devm_add_action_or_reset(dev, tolva_csi2_power_off, supply);
}

static int tolva_csi2_init_subdev(struct device *dev, struct tolva_csi2 *src,
				  int adapter)
{
	struct v4l2_subdev *sd = &src->sd;
	int ret;

	sd->internal_ops = &tolva_csi2_internal_ops;
	sd->owner = THIS_MODULE;
	sd->dev = dev;
	sd->flags |= V4L2_SUBDEV_FL_HAS_DEVNODE;
	snprintf(sd->name, sizeof(sd->name), "%s i2c-%d", TOLVA_CSI2_NAME,
		 adapter);

	ret = tolva_csi2_init_controls(src);
	if (ret)
		return dev_err_probe(dev, ret, "controls not made\n");
	/* Format changes update the pixel rate under the same lock. */
	sd->state_lock = src->ctrls.lock;

	sd->entity.function = MEDIA_ENT_F_CAM_SENSOR;
	src->pad.flags = MEDIA_PAD_FL_SOURCE;
	ret = media_entity_pads_init(&sd->entity, 1, &src->pad);
	if (ret)
		return dev_err_probe(dev, ret, "media pad not made\n");
	ret = v4l2_subdev_init_finalize(sd);
	if (ret)
		return dev_err_probe(dev, ret, "sub-device state not made\n");
	return 0;
}

static int tolva_csi2_probe(struct platform_device *pdev)
{
	struct device *dev = &pdev->dev;
	struct tolva_csi2 *src;
	int adapter;
	int ret;

	adapter = tolva_csi2_adapter_number(dev);
	if (adapter < 0)
		return adapter;

	src = kzalloc(sizeof(*src), GFP_KERNEL);
	if (!src)
		return -ENOMEM;
	kref_init(&src->refs);
	mutex_init(&src->stream_lock);
	/* First, so that tolva_csi2_free can undo any part of what follows. */
	v4l2_subdev_init(&src->sd, &tolva_csi2_ops);

	ret = tolva_csi2_parse_endpoint(dev, src);
	if (!ret)
		ret = tolva_csi2_power_on(dev);
	if (!ret)
		ret = tolva_csi2_init_subdev(dev, src, adapter);
	if (!ret) {
		ret = v4l2_async_register_subdev_sensor(&src->sd);
		if (ret)
			dev_err_probe(dev, ret, "not registered with V4L2\n");
	}
	if (ret) {
		kref_put(&src->refs, tolva_csi2_free);
		return ret;
	}

	platform_set_drvdata(pdev, src);
	dev_info(dev, "%s: %u lanes at %lld Hz\n", src->sd.name, src->lanes,
		 src->link_freq);
	return 0;
}

static void tolva_csi2_remove(struct platform_device *pdev)
{
	struct tolva_csi2 *src = platform_get_drvdata(pdev);

	mutex_lock(&src->stream_lock);
	if (src->streaming)
		dev_warn(&pdev->dev,
			 "unbound while streaming: the receiver gets no more frames\n");
	mutex_unlock(&src->stream_lock);

	/* The receiver lets go of the sub-device before the power goes. */
	v4l2_async_unregister_subdev(&src->sd);
	kref_put(&src->refs, tolva_csi2_free);
}

#if !TOLVA_CSI2_VOID_REMOVE
static int tolva_csi2_remove_legacy(struct platform_device *pdev)
{
	tolva_csi2_remove(pdev);
	return 0;
}
#endif

static const struct of_device_id tolva_csi2_of_match[] = {
	{ .compatible = "tolva,csi2-source" },
	{ /* sentinel */ }
};
MODULE_DEVICE_TABLE(of, tolva_csi2_of_match);

static struct platform_driver tolva_csi2_driver = {
	.probe = tolva_csi2_probe,
#if TOLVA_CSI2_VOID_REMOVE
	.remove = tolva_csi2_remove,
#else
	.remove = tolva_csi2_remove_legacy,
#endif
	.driver = {
		.name = TOLVA_CSI2_NAME,
		.of_match_table = tolva_csi2_of_match,
	},
};
module_platform_driver(tolva_csi2_driver);

MODULE_DESCRIPTION("CSI-2 source whose format user space sets");
MODULE_LICENSE("GPL");
