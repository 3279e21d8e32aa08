"""Layout inference and batch packing (`axisform`), element-type conversions (`dtypes`), host copies (`dlpack`),
PNG pixel data inflated by libdeflate for OpenCV to decode (`png`)."""
