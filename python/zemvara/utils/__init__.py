"""Layout inference and batch packing (`axisform`), element-type conversions (`dtypes`), host copies (`dlpack`)."""
