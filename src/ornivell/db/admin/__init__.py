"""Design and administration tools: describing tables as models, checking them, roles, grants and users."""
