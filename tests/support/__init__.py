"""Helpers the tests share: test videos, reference decoders, crafted and damaged inputs."""
