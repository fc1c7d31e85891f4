"""Test-support helpers: private Secret Service, browser and HTTP server."""
