"""A stand-in for the vk control SDK: it records the vyr program that it is given."""
